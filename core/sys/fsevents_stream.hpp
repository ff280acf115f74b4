// One running event stream on a canonical root: created, put on its own
// serial queue and started through the function table, torn down in the one
// order that guarantees no callback runs once the sender is dropped.
// Threading: owned and closed by the live thread; callbacks run on the queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/sys/fsevents_api.hpp"
#include "core/sys/fsevents_channel.hpp"

namespace bramwex::core::sys {

class FsEventStream {
  public:
    // A stream that runs nothing (closed).
    FsEventStream() = default;
    FsEventStream(FsEventStream&& other) noexcept;
    FsEventStream& operator=(FsEventStream&& other) noexcept;
    FsEventStream(const FsEventStream&) = delete;
    FsEventStream& operator=(const FsEventStream&) = delete;
    ~FsEventStream() { close(); }

    // Starts a stream on root (canonical, no NUL inside) that replays from
    // since and sends every callback's batch through sender; none when any
    // step fails, with whatever was made released again.
    static std::optional<FsEventStream> start(const FsEventsApi& api, const std::string& root,
                                              FsEventStreamEventId since, BatchSender sender);

    bool running() const { return stream_ != nullptr; }

    // Returns once every event that happened before the call has been handed
    // to the callback. Nothing on a closed stream.
    void flush_sync() const;

    // Stop, invalidate, wait for the queue, release the stream and the queue,
    // then drop the sender. Idempotent.
    void close();

    // The stream reference, for test hooks of the stand-in.
    FsEventStreamRef stream_ref() const { return stream_; }

  private:
    const FsEventsApi* api_ = nullptr;
    FsEventStreamRef stream_ = nullptr;
    DispatchQueueRef queue_ = nullptr;
    std::unique_ptr<BatchSender> context_;  // the callback's info
};

}  // namespace bramwex::core::sys
