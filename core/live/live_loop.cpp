// The live thread's loop: its phases, ticks and messages.
#include "core/live/live_loop.hpp"

#include <exception>
#include <limits>
#include <utility>

#include "core/base/fatal.hpp"
#include "core/base/log.hpp"
#include "core/sys/event_source.hpp"

namespace bramwex::core {

namespace {

constexpr std::string_view kTarget = "bramwex_core::live";

LiveClock::duration tick_of(std::chrono::nanoseconds interval) {
    const auto floor = std::chrono::milliseconds(1);
    return interval <= floor ? LiveClock::duration(floor)
                             : std::chrono::duration_cast<LiveClock::duration>(interval);
}

LiveClock::time_point checked_deadline(LiveClock::time_point now, LiveClock::duration tick) {
    if (tick > LiveClock::time_point::max() - now) {
        fatal("overflow when adding duration to instant");
    }
    return now + tick;
}

void lower_busy(LiveLoop& loop) {
    loop.control->busy.fetch_sub(1, std::memory_order_acq_rel);
}

// The body of a full scan's thread. Its result waits in the slot; ScanExited
// follows whatever happened, and the thread's sender goes with it.
void run_scan(std::shared_ptr<Pool> pool, ScanOptions options, LiveSettings settings,
              LiveSender sender, std::shared_ptr<ScanResult> slot) {
    Scanner scanner{std::move(pool), std::move(options)};
    ScanHooks hooks;
    hooks.started = [&sender](const BuilderParts& parts) {
        sender.send(LiveMsg{LiveMsg::Started{parts}});
    };
    hooks.current_event_id = [] { return sys::current_event_id(); };
    hooks.link_holders = &slot->link_holders;
    // Whatever the scan throws (a broken contract, memory running out) ends
    // the scan, not the process of whoever follows it: it becomes the
    // scan's error.
    try {
        step(settings, LiveStep::Scan);
        slot->tree = scanner.scan(settings.root, hooks);
    } catch (const std::exception& failure) {
        slot->tree = std::unexpected(Error::text(failure.what()));
    } catch (...) {
        slot->tree = std::unexpected(Error::text("unknown exception"));
    }
    sender.send(LiveMsg{LiveMsg::ScanExited{}});
}

void tick(LiveLoop& loop, LiveClock::time_point now) {
    step(loop.settings, LiveStep::Tick);
    if (auto* scanning = std::get_if<ScanningPhase>(&loop.phase)) {
        if (scanning->parts) {
            if (auto tree = snapshot(*scanning->parts)) {
                emit(loop, Event{Event::Scanning{std::make_shared<const Tree>(std::move(*tree))}});
            }
        }
    } else if (auto* following = std::get_if<FollowingPhase>(&loop.phase)) {
        tick_following(loop, *following, now);
    }
}

void scan_exited(LiveLoop& loop) {
    auto* scanning = std::get_if<ScanningPhase>(&loop.phase);
    if (scanning == nullptr) {
        fatal("internal error: entered unreachable code: only a scan exits");
    }
    ScanningPhase phase = std::move(*scanning);
    loop.phase = StoppedPhase{};
    const auto now = LiveClock::now();
    const double elapsed =
        now > phase.started ? std::chrono::duration<double>(now - phase.started).count() : 0.0;
    ScanResult result = phase.scan->join();
    if (!result.tree || !*result.tree) {
        scan_failed(loop, result.tree ? result.tree->error()
                                      : Error::text("the scan thread left no result"));
        return;
    }
    Tree& tree = **result.tree;
    log::record(log::Level::Info, kTarget, "live: scanned {} in {:.1f} s: {} folders, {} bytes",
                loop.settings.root, elapsed, tree.record_count(), tree.total_size({0, 0}));
    start_following(loop, std::move(tree), std::move(result.link_holders));
    lower_busy(loop);
}

void close(LiveLoop& loop, std::optional<FinalTreeSender> reply) {
    std::optional<Tree> final_tree;
    if (auto* scanning = std::get_if<ScanningPhase>(&loop.phase)) {
        // closed is set: the scan stops soon.
        if (ScanResult result = scanning->scan->join(); result.tree && *result.tree) {
            final_tree = std::move(**result.tree);
        }
    }
    if (reply) {
        reply->set_value(std::move(final_tree));
    }
    loop.done = true;
}

void rescan_in_following(LiveLoop& loop, FollowingPhase& following, FolderId id) {
    if (id.index == 0 && id.generation == 0) {
        start_scan(loop);  // busy goes down when that scan ends
        return;
    }
    const Tree& tree = following.tree;
    if ((id.generation != 0 && id.generation != tree.generation) || id.index == 0 ||
        id.index >= tree.record_count() || (tree.folders[id.index].flags & kFlagRemoved)) {
        lower_busy(loop);
        return;
    }
    ChangeSets changes;
    changes.must_scan.push_back(tree.relative_path(id.index));
    log::record(log::Level::Info, kTarget, "live: scanning {} again", tree.absolute_path(id.index));
    rescan_changed(loop, following, changes, true);
    lower_busy(loop);
}

void handle(LiveLoop& loop, LiveMsg message) {
    auto* following = std::get_if<FollowingPhase>(&loop.phase);
    std::visit(
        [&](auto& msg) {
            using Msg = std::decay_t<decltype(msg)>;
            if constexpr (std::is_same_v<Msg, LiveMsg::Follow>) {
                if (following != nullptr) {
                    follow_folders(*following, msg.ids);
                }
            } else if constexpr (std::is_same_v<Msg, LiveMsg::Relist>) {
                if (following != nullptr) {
                    ChangeSets changes;
                    changes.relist = resolve_folder_ids(following->tree, msg.ids);
                    rescan_changed(loop, *following, changes, false);
                }
            } else if constexpr (std::is_same_v<Msg, LiveMsg::Rescan>) {
                if (following != nullptr) {
                    rescan_in_following(loop, *following, msg.id);
                } else {
                    lower_busy(loop);
                }
            } else if constexpr (std::is_same_v<Msg, LiveMsg::Close>) {
                close(loop, std::move(msg.reply));
            } else if constexpr (std::is_same_v<Msg, LiveMsg::Started>) {
                if (auto* scanning = std::get_if<ScanningPhase>(&loop.phase)) {
                    scanning->parts = std::move(msg.parts);
                }
            } else if constexpr (std::is_same_v<Msg, LiveMsg::ScanExited>) {
                if (std::holds_alternative<ScanningPhase>(loop.phase)) {
                    scan_exited(loop);
                }
            } else {
                if (following != nullptr) {
                    followed_folder_changed(loop, *following);
                }
            }
        },
        message.value);
}

}  // namespace

ScanThread::~ScanThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

ScanResult ScanThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (!result_) {
        return {};
    }
    ScanResult result = std::move(*result_);
    result_.reset();
    return result;
}

ScanOptions live_scan_options(const LiveLoop& loop) {
    ScanOptions options = loop.settings.options;
    options.stop = [control = loop.control] {
        return control->closed.load(std::memory_order_relaxed);
    };
    options.interrupt = options.stop;
    return options;
}

void emit(LiveLoop& loop, LiveItem item) {
    loop.sink->emit(std::move(item));
}

void step(const LiveSettings& settings, LiveStep at) {
    if (settings.step_hook) {
        settings.step_hook(at);
    }
}

void start_scan(LiveLoop& loop) {
    log::record(log::Level::Info, kTarget, "live: scanning {}", loop.settings.root);
    auto slot = std::make_shared<ScanResult>();
    std::thread thread;
    try {
        thread = std::thread(run_scan, loop.pool, live_scan_options(loop), loop.settings,
                             loop.sender, slot);
    } catch (const std::system_error&) {
        fatal("failed to spawn thread");
    }
    loop.control->follows_all.store(false, std::memory_order_relaxed);
    // Dropping a following phase tears its event stream down.
    loop.phase = ScanningPhase{std::nullopt,
                               std::make_unique<ScanThread>(std::move(thread), std::move(slot)),
                               LiveClock::now()};
}

void scan_failed(LiveLoop& loop, const Error& error) {
    log::record(log::Level::Warn, kTarget, "live: {}: {}", loop.settings.root, error.to_string());
    loop.phase = StoppedPhase{};
    // Ended before the item goes out, so whoever takes the item sees it.
    loop.control->ended.store(true, std::memory_order_release);
    loop.sink->emit_last(std::unexpected(error));
    lower_busy(loop);
}

void report_missed(LiveLoop& loop, Reason reason, const std::string& path) {
    log::record(log::Level::Warn, kTarget, "live: missed changes at {}: {}", path,
                reason_text(reason));
    emit(loop, Event{Event::Missed{reason, path}});
}

void run_live_loop(LiveLoop& loop) {
    auto pool = build_pool(loop.settings.options.threads);
    if (!pool) {
        scan_failed(loop, pool.error());
        return;
    }
    loop.pool = std::make_shared<Pool>(std::move(*pool));
    start_scan(loop);
    const LiveClock::duration tick_length = tick_of(loop.settings.interval);
    LiveClock::time_point deadline = checked_deadline(LiveClock::now(), tick_length);
    while (!loop.done) {
        const auto now = LiveClock::now();
        if (now >= deadline) {
            deadline = checked_deadline(now, tick_length);
            tick(loop, now);
        }
        if (auto message = loop.receiver.receive_until(deadline)) {
            handle(loop, std::move(*message));
        }
    }
}

}  // namespace bramwex::core
