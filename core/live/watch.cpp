#include "core/live/watch.hpp"

#include "core/base/fatal.hpp"
#include "core/base/log.hpp"
#include "core/base/utf8.hpp"

namespace bramwex::core {

namespace {

constexpr std::string_view kLogTarget = "bramwex_core::sys::fsevents";

// p is at or below x: equal, or longer with '/' right after x.
bool at_or_below(std::string_view p, std::string_view x) {
    return p.starts_with(x) && (p.size() == x.size() || p[x.size()] == '/');
}

std::string_view without_trailing_slash(std::string_view path) {
    if (path.ends_with('/')) {
        path.remove_suffix(1);
    }
    return path;
}

// The missed-change reason an event's flags give, if any.
std::optional<Reason> missed_reason(const sys::FsEvent& event) {
    if ((event.flags & (sys::kEventUserDropped | sys::kEventKernelDropped)) != 0) {
        log::record(log::Level::Warn, kLogTarget, "fsevents: {} at {}",
                    (event.flags & sys::kEventKernelDropped) != 0 ? "KernelDropped" : "UserDropped",
                    to_utf8_lossy(event.path));
        return Reason::Dropped;
    }
    if ((event.flags & sys::kEventIdsWrapped) != 0) {
        return Reason::IdsWrapped;
    }
    if ((event.flags & sys::kEventRootChanged) != 0) {
        return Reason::RootMoved;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Watcher> Watcher::follow_stream(std::string canonical_root, sys::EventId since,
                                              std::optional<std::string> ignored,
                                              sys::EventSourceFaults faults) {
    auto [sender, receiver] = make_channel<sys::EventBatch>();
    Stream stream;
    stream.root = std::string(without_trailing_slash(canonical_root));
    auto source = sys::EventSource::start(sys::EventSourceConfig{
        stream.root.empty() ? "/" : stream.root, since, std::chrono::milliseconds(50),
        [sender](sys::EventBatch batch) { sender.send(std::move(batch)); }, std::move(faults)});
    if (!source) {
        return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    stream.batches = std::move(receiver);
    if (ignored) {
        stream.ignored = std::string(without_trailing_slash(*ignored));
    }
    stream.started = now;
    stream.last_event = now;
    stream.source = std::move(*source);
    return Watcher(std::move(stream));
}

Watcher Watcher::follow_polling(Clock::time_point now, std::function<void()> on_change,
                                std::shared_ptr<std::atomic<uint32_t>> max_user_watches) {
    Polling polling;
    polling.watches = sys::FolderWatch(std::move(on_change), std::move(max_user_watches));
    polling.relist_end = now;
    return Watcher(std::move(polling));
}

Watcher::Stream& Watcher::stream() {
    if (auto* stream = std::get_if<Stream>(&how_)) {
        return *stream;
    }
    fatal("internal error: a polling watcher has no event stream");
}

const Watcher::Stream& Watcher::stream() const {
    if (const auto* stream = std::get_if<Stream>(&how_)) {
        return *stream;
    }
    fatal("internal error: a polling watcher has no event stream");
}

Watcher::Polling& Watcher::polling() {
    if (auto* polling = std::get_if<Polling>(&how_)) {
        return *polling;
    }
    fatal("internal error: a streaming watcher does not poll");
}

void Watcher::absorb(sys::EventBatch batch) {
    Stream& s = stream();
    s.last_event = Clock::now();
    bool dropped = false;
    bool done = false;
    for (const sys::FsEvent& event : batch) {
        if (const auto reason = missed_reason(event)) {
            dropped = dropped || *reason == Reason::Dropped;
            if (!s.pending_reason) {
                s.pending_reason = *reason;
            }
        } else if ((event.flags & sys::kEventHistoryDone) != 0) {
            if (!s.history_done) {
                s.history_done = s.last_event;
                done = true;
            }
        } else if (auto relative = folder_of(event.path)) {
            auto& into = (event.flags & sys::kEventMustScanSubDirs) != 0 ? s.must_scan : s.changed;
            into.push_back(std::move(*relative));
        }
    }
    // A source that runs out of watches on its walk's last folder ends that
    // walk and tells the loss in one batch.
    s.walked_whole = s.walked_whole || (done && !dropped);
}

size_t Watcher::absorb_queued() {
    size_t count = 0;
    while (auto batch = stream().batches.try_receive()) {
        absorb(std::move(*batch));
        ++count;
    }
    return count;
}

std::optional<Reason> Watcher::take_pending_reason() {
    return std::exchange(stream().pending_reason, std::nullopt);
}

std::optional<std::string> Watcher::folder_of(std::string_view path) const {
    const Stream& s = stream();
    const std::string_view p = without_trailing_slash(path);
    if (s.ignored && at_or_below(p, *s.ignored)) {
        return std::nullopt;
    }
    if (p == s.root) {
        return std::string();
    }
    if (at_or_below(p, s.root)) {
        return std::string(p.substr(s.root.size() + 1));
    }
    return std::nullopt;
}

}  // namespace bramwex::core
