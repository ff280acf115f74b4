#include "core/live/watch.hpp"

#include "core/base/fatal.hpp"

namespace bramwex::core {

namespace {

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

// The path under the other name of the first pair whose `from` side holds it.
template <class From, class To>
std::optional<std::string> translate(std::string_view p,
                                     const std::vector<sys::FirmlinkPair>& pairs, From from,
                                     To to) {
    for (const sys::FirmlinkPair& pair : pairs) {
        const std::string& side = pair.*from;
        if (at_or_below(p, side)) {
            std::string translated = pair.*to;
            translated.append(p.substr(side.size()));
            return translated;
        }
    }
    return std::nullopt;
}

std::optional<std::string> relative_to(std::string_view candidate, std::string_view root) {
    if (candidate == root) {
        return std::string();
    }
    if (at_or_below(candidate, root)) {
        return std::string(candidate.substr(root.size() + 1));
    }
    return std::nullopt;
}

}  // namespace

std::optional<Watcher> Watcher::follow_stream(const sys::FsEventsApi& api,
                                              std::string canonical_root,
                                              sys::FsEventStreamEventId since,
                                              std::optional<std::string> ignored) {
    auto [sender, receiver] = sys::batch_channel();
    auto running = sys::FsEventStream::start(api, canonical_root, since, std::move(sender));
    if (!running) {
        return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    Stream stream;
    stream.batches = std::move(receiver);
    stream.root = std::string(without_trailing_slash(canonical_root));
    stream.firmlinks = sys::read_firmlinks();
    if (ignored) {
        stream.ignored = std::string(without_trailing_slash(*ignored));
    }
    stream.started = now;
    stream.last_event = now;
    stream.stream = std::move(*running);
    return Watcher(std::move(stream));
}

Watcher Watcher::follow_polling(Clock::time_point now) {
    Polling polling;
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

void Watcher::absorb(sys::FsEventBatch batch) {
    Stream& s = stream();
    s.last_event = Clock::now();
    for (sys::FsEvent& event : batch) {
        switch (event.kind) {
            case sys::FsEventKind::Changed:
                if (auto relative = folder_of(event.path)) {
                    s.changed.push_back(std::move(*relative));
                }
                break;
            case sys::FsEventKind::MustScan:
                if (auto relative = folder_of(event.path)) {
                    s.must_scan.push_back(std::move(*relative));
                }
                break;
            case sys::FsEventKind::HistoryDone:
                if (!s.history_done) {
                    s.history_done = s.last_event;
                }
                break;
            case sys::FsEventKind::Missed:
                if (!s.pending_reason) {
                    s.pending_reason = event.reason;
                }
                break;
        }
    }
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
    const auto a =
        translate(p, s.firmlinks, &sys::FirmlinkPair::data, &sys::FirmlinkPair::firmlink);
    const auto b =
        translate(p, s.firmlinks, &sys::FirmlinkPair::firmlink, &sys::FirmlinkPair::data);
    const std::string_view c1 = a ? std::string_view(*a) : p;
    const std::string_view c2 = b ? std::string_view(*b) : p;
    if (s.ignored && (at_or_below(c1, *s.ignored) || at_or_below(c2, *s.ignored))) {
        return std::nullopt;
    }
    if (auto relative = relative_to(c1, s.root)) {
        return relative;
    }
    return relative_to(c2, s.root);
}

}  // namespace bramwex::core
