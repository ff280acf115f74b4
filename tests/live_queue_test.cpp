// The Python module's queue of live items: what a reader that does not read
// is left holding.
#include "binding/live_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace bramwex::binding {
namespace {

using core::Event;
using Changes = std::vector<core::FolderChange>;

TEST(LiveQueue, UnreadSnapshotsAndChangesCoalesceButNotAcrossOtherItems) {
    std::vector<std::shared_ptr<const core::Tree>> trees;
    for (int k = 0; k < 9; ++k) {
        trees.push_back(std::make_shared<const core::Tree>());
    }
    LiveQueue queue;
    for (QueueItem item : std::vector<QueueItem>{
             Event{Event::Scanning{trees[0]}}, Event{Event::Scanning{trees[1]}},
             Event{Event::Changed{trees[2], {{"/r/a", 1}, {"/r/b", 2}}}},
             Event{Event::Changed{trees[3], {{"/r/c", 5}, {"/r/a", -1}}}},
             Event{Event::Ready{trees[4]}}, Event{Event::Changed{trees[5], {{"/r/a", 3}}}},
             Event{Event::Missed{core::Reason::Dropped, "/r"}},
             Event{Event::Changed{trees[6], {{"/r/b", 1}}}}, core::Error::text("gone"),
             Event{Event::Changed{trees[7], {{"/r/b", 1}}}}, Event{Event::Changed{trees[8], {}}}}) {
        queue.push(std::move(item));
    }
    std::string kinds;
    std::vector<ptrdiff_t> seen;  // which tree, by its place in trees
    std::vector<Changes> changes;
    for (QueueItem& item : queue.take_all()) {
        const auto* event = std::get_if<Event>(&item);
        kinds += event == nullptr ? 'E' : "SRCM"[event->value.index()];
        if (event != nullptr) {
            std::visit(
                [&](const auto& value) {
                    if constexpr (requires { value.tree; }) {
                        seen.push_back(std::ranges::find(trees, value.tree) - trees.begin());
                    }
                    if constexpr (requires { value.changes; }) {
                        changes.push_back(value.changes);
                    }
                },
                event->value);
        }
    }
    EXPECT_EQ(kinds, "SCRCMCEC");
    EXPECT_EQ(seen, (std::vector<ptrdiff_t>{1, 3, 4, 5, 6, 8}));
    EXPECT_EQ(changes,
              (std::vector<Changes>{
                  {{"/r/b", 2}, {"/r/c", 5}}, {{"/r/a", 3}}, {{"/r/b", 1}}, {{"/r/b", 1}}}));
}

}  // namespace
}  // namespace bramwex::binding
