// Also the browser's side of the channel: Browser::drain_events and the
// effect of each kind of item.
#include "app/browse/live_events.hpp"

#include <variant>

#include "app/browse/browser.hpp"

namespace bramwex::app {

void send_browser_event(const core::ChannelSender<core::LiveItem>& sender,
                        const std::shared_ptr<std::function<void()>>& waker, core::LiveItem item) {
    if (sender.send(std::move(item)) && waker && *waker) {
        (*waker)();
    }
}

void BrowserSink::emit(core::LiveItem item) {
    send_browser_event(sender_, waker_, std::move(item));
}

bool Browser::drain_events(WallClock::time_point now) {
    bool busy = false;
    if (live) {
        busy = live->control().busy.load() != 0;
        if (busy && !busy_since) {
            busy_since = now;
        }
    }
    if (!events) {
        return busy;
    }
    std::vector<core::LiveItem> items;
    while (auto item = events->try_receive()) {
        items.push_back(std::move(*item));
    }
    for (auto& item : items) {
        apply(std::move(item), now);
    }
    return busy;
}

void Browser::apply(core::LiveItem item, WallClock::time_point now) {
    if (!item) {
        const bool scan_failed = scan_running;
        scan_running = false;
        rescanning.reset();
        progress.reset();
        busy_since.reset();
        status = "cannot scan: " + item.error().to_string();
        if (scan_failed && shown_before_scan) {
            auto [before, before_state] = std::move(*shown_before_scan);
            shown_before_scan.reset();
            if (before_state.is_complete()) {
                // The baseline was left on this tree's indices when the scan began.
                baseline_tree.reset();
            }
            if (tree != before || state != before_state) {
                set_tree(std::move(before), before_state);
            }
        }
        return;
    }
    std::visit(
        [&](auto& event) {
            using E = std::decay_t<decltype(event)>;
            if constexpr (std::is_same_v<E, core::Event::Scanning>) {
                progress = {event.tree->total_size({0, 0}), event.tree->folders.size()};
                if (tree && state.is_saved()) {
                    return;  // the saved scan stays until the scan is ready
                }
                set_tree(std::move(event.tree), ScanState::snapshot());
            } else if constexpr (std::is_same_v<E, core::Event::Ready>) {
                scan_running = false;
                progress.reset();
                busy_since.reset();
                ready_time = now;
                shown_before_scan.reset();
                save_scan(*event.tree);
                if (!baseline) {
                    baseline = baseline_of(*event.tree);
                    baseline_tree.reset();
                    baseline_time = now;
                } else if (baseline_tree) {
                    carry_baseline(*baseline, *baseline_tree, *event.tree);
                    baseline_tree.reset();
                }
                set_tree(std::move(event.tree), ScanState::complete());
            } else if constexpr (std::is_same_v<E, core::Event::Changed>) {
                if (baseline && tree) {
                    carry_baseline(*baseline, *tree, *event.tree);
                }
                if (rescanning) {
                    rescanning.reset();
                    save_scan(*event.tree);
                } else {
                    changes_unsaved = true;
                }
                set_tree(std::move(event.tree), ScanState::complete());
            } else {
                if (!missed) {
                    missed = MissedChanges{now, {}, false};
                }
                missed->root_moved = missed->root_moved || event.reason == core::Reason::RootMoved;
                refresh();
            }
        },
        item->value);
}

}  // namespace bramwex::app
