#include "core/sys/fsevents_stream.hpp"

#include <utility>

#include "core/sys/fsevents_event.hpp"

namespace bramwex::core::sys {

namespace {

void do_nothing(void* /*context*/) {}

}  // namespace

FsEventStream::FsEventStream(FsEventStream&& other) noexcept
    : api_(std::exchange(other.api_, nullptr)),
      stream_(std::exchange(other.stream_, nullptr)),
      queue_(std::exchange(other.queue_, nullptr)),
      context_(std::move(other.context_)) {}

FsEventStream& FsEventStream::operator=(FsEventStream&& other) noexcept {
    if (this != &other) {
        close();
        api_ = std::exchange(other.api_, nullptr);
        stream_ = std::exchange(other.stream_, nullptr);
        queue_ = std::exchange(other.queue_, nullptr);
        context_ = std::move(other.context_);
    }
    return *this;
}

std::optional<FsEventStream> FsEventStream::start(const FsEventsApi& api, const std::string& root,
                                                  FsEventStreamEventId since, BatchSender sender) {
    if (root.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    FsEventStream running;
    running.api_ = &api;
    running.context_ = std::make_unique<BatchSender>(std::move(sender));
    FsEventStreamContext context;
    context.info = running.context_.get();

    const CfStringRef path =
        api.string_create_with_file_system_representation(nullptr, root.c_str());
    if (path == nullptr) {
        return std::nullopt;
    }
    const void* values[] = {path};
    const CfArrayRef paths = api.array_create(nullptr, values, 1, api.type_array_callbacks);
    api.release(path);
    if (paths == nullptr) {
        return std::nullopt;
    }
    running.stream_ = api.stream_create(nullptr, &fsevents_callback, &context, paths, since,
                                        kStreamLatencySeconds, kStreamFlags);
    api.release(paths);
    if (running.stream_ == nullptr) {
        return std::nullopt;
    }
    running.queue_ = api.queue_create(kStreamQueueLabel, nullptr);
    if (running.queue_ == nullptr) {
        return std::nullopt;  // close() releases the stream
    }
    api.stream_set_dispatch_queue(running.stream_, running.queue_);
    if (api.stream_start(running.stream_) == 0) {
        return std::nullopt;
    }
    return running;
}

void FsEventStream::flush_sync() const {
    if (stream_ != nullptr) {
        api_->stream_flush_sync(stream_);
    }
}

void FsEventStream::close() {
    if (stream_ != nullptr) {
        api_->stream_stop(stream_);
        api_->stream_invalidate(stream_);
        if (queue_ != nullptr) {
            // Returns once every callback running or queued has finished; none
            // can start after it, so the sender may go.
            api_->queue_sync_f(queue_, nullptr, &do_nothing);
        }
        api_->stream_release(std::exchange(stream_, nullptr));
    }
    if (queue_ != nullptr) {
        api_->queue_release(std::exchange(queue_, nullptr));
    }
    context_.reset();
    api_ = nullptr;
}

}  // namespace bramwex::core::sys
