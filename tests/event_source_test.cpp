#include "core/sys/event_source.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ranges>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/sys/linux_inotify_tree.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core::sys {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr EventFlags kLost = kEventMustScanSubDirs | kEventUserDropped;
constexpr EventFlags kItem = kEventItemCreated | kEventItemRemoved | kEventItemRenamed |
                             kEventItemModified | kEventItemMetadata | kEventItemIsDir |
                             kEventItemIsFile;

size_t entries_in(const char* folder) {
    return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

void touch(const std::string& path) {
    std::ofstream(path, std::ios::app) << "x";
}

// Faults that do act once, just before the reader watches folder; done
// tells whether they did.
EventSourceFaults once_before_watching(std::string folder, std::function<void()> act,
                                       std::shared_ptr<std::atomic<bool>> done) {
    EventSourceFaults faults;
    faults.before_watch = [folder = std::move(folder), act = std::move(act),
                           done = std::move(done)](const std::string& path) {
        if (path == folder && !done->exchange(true)) {
            act();
        }
    };
    return faults;
}

bool any_lost(const std::vector<FsEvent>& events) {
    return std::ranges::any_of(
        events, [](const FsEvent& event) { return (event.flags & kEventUserDropped) != 0; });
}

// A running source and every event its callback received.
struct Recorded {
    struct Options {
        EventId since = 0;  // 0: a day ahead, newer than anything on disk
        std::chrono::nanoseconds latency = 50ms;
        EventSourceFaults faults{};
        int throw_on_batch = -1;  // the callback throws on this batch (from 0)
        bool quiet = true;        // wait until the first walk has ended, then drop its events
        bool hold_lost = false;   // the callback holds the reader after a lossy batch till release
    };

    Recorded(const std::string& root, Options o) {
        const EventId since = o.since ? o.since : current_event_id() + 86'400'000'000'000;
        auto start = EventSource::start(EventSourceConfig{
            root, since, o.latency,
            [this, throw_on = o.throw_on_batch, hold = o.hold_lost](EventBatch batch) {
                std::unique_lock lock(mutex);
                if (batches++ == throw_on) {
                    throw std::runtime_error("callback failed");
                }
                events.insert(events.end(), batch.begin(), batch.end());
                arrived.notify_all();
                if (hold && any_lost(batch)) {
                    arrived.wait_for(lock, 20s, [&] { return released; });
                }
            },
            o.faults});
        if (!(started = start.has_value())) {
            return;
        }
        source = std::move(*start);
        if (o.quiet) {
            EXPECT_TRUE(wait_for(kEventHistoryDone)) << root;
            source.flush();
            // From an id ahead of every change only "history done" comes.
            EXPECT_EQ(take().size(), 1u) << root;
        }
    }

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        arrived.notify_all();
    }

    void drain() {
        source.flush();
        take();
    }

    std::vector<FsEvent> take() {
        std::lock_guard lock(mutex);
        return std::exchange(events, {});
    }

    // Waits until an event with exactly these flags (at path, when given) came.
    bool wait_for(EventFlags flags, std::optional<std::string> path = std::nullopt) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 20s, [&] {
            return std::ranges::any_of(events, [&](const FsEvent& event) {
                return event.flags == flags && (!path || event.path == *path);
            });
        });
    }

    // Flushes and gives the plain changes received, with their flags.
    std::map<std::string, EventFlags> flushed_changes() {
        source.flush();
        std::map<std::string, EventFlags> changes;
        for (const FsEvent& event : take()) {
            EXPECT_EQ(event.flags & ~kItem, 0u) << event.path;
            changes[event.path] |= event.flags;
        }
        return changes;
    }

    std::set<std::string> flushed_paths() {
        const auto paths = std::views::keys(flushed_changes());
        return {paths.begin(), paths.end()};
    }

    bool started = false;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<FsEvent> events;
    int batches = 0;
    bool released = false;
    EventSource source;  // last: stopped before what its callback uses goes
};

TEST(EventSource, ReportsEachChangeAtItsPathWithWhatHappened) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/empty");
    test::write_file(root + "/old", 10);
    test::write_file(root + "/doomed", 10);
    test::write_file(root + "/folder/inner/kept", 10);
    Recorded source(root, {});
    ASSERT_TRUE(source.started);

    test::write_file(root + "/new", 100);
    touch(root + "/old");
    ASSERT_EQ(::unlink((root + "/doomed").c_str()), 0);
    fs::rename(root + "/old", root + "/renamed");
    ASSERT_EQ(::rmdir((root + "/empty").c_str()), 0);
    ASSERT_EQ(::mkdir((root + "/made").c_str(), 0755), 0);
    fs::rename(root + "/folder", root + "/moved");
    test::write_file(root + "/deep/er/file", 1);  // a folder made, then filled
    ASSERT_EQ(::chmod(root.c_str(), 0700), 0);
    const auto changes = source.flushed_changes();
    const std::map<std::string, EventFlags> want_bits = {
        {root + "/new", kEventItemCreated | kEventItemIsFile},
        {root + "/old", kEventItemModified | kEventItemRenamed},
        {root + "/doomed", kEventItemRemoved},
        {root + "/renamed", kEventItemRenamed},
        {root + "/empty", kEventItemRemoved | kEventItemIsDir},
        {root + "/made", kEventItemCreated | kEventItemIsDir},
        {root + "/folder", kEventItemRenamed | kEventItemIsDir},
        {root + "/moved", kEventItemRenamed | kEventItemIsDir},
        {root + "/deep", kEventItemCreated | kEventItemIsDir},
        {root + "/deep/er", kEventItemIsDir},  // an event, or replayed by the walk
        {root + "/deep/er/file", kEventItemIsFile},
        {root, kEventItemMetadata | kEventItemIsDir},
    };
    for (const auto& [path, flags] : changes) {
        ASSERT_TRUE(want_bits.contains(path)) << "unexpected " << path;
        EXPECT_EQ(flags & want_bits.at(path), want_bits.at(path)) << path;
    }
    EXPECT_EQ(changes.size(), want_bits.size());

    // The renamed folder's watches moved with it.
    touch(root + "/moved/inner/kept");
    EXPECT_EQ(source.flushed_paths(), std::set<std::string>{root + "/moved/inner/kept"});
}

TEST(EventSource, CoalescesWithinTheLatency) {
    const test::TempDir dir;
    Recorded source(dir, {.latency = 24h});
    ASSERT_TRUE(source.started);
    for (int i = 0; i < 50; ++i) {
        touch(dir / "a");
        touch(dir / "b");
    }
    source.source.flush();
    const auto events = source.take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].path, dir / "a");
    EXPECT_EQ(events[1].path, dir / "b");
    EXPECT_NE(events[0].id, 0u);
}

// A change in a new folder before its watch is replayed: the kernel cannot
// report it, the folder has no watch yet.
TEST(EventSource, FoldersThatAppearAreWatchedAndFoldersThatLeaveAreNot) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root);
    test::make_dirs(dir / "outside/brought/along");
    EventSourceFaults faults;
    faults.before_watch = [](const std::string& folder) {
        if (folder.ends_with("/c") || folder.ends_with("/along")) {
            std::ofstream(folder + "/early") << "x";
        }
    };
    Recorded source(root, {.faults = faults});
    ASSERT_TRUE(source.started);
    EXPECT_EQ(source.source.watch_count(), 1u);

    test::make_dirs(root + "/a/b/c");
    fs::rename(dir / "outside/brought", root + "/brought");
    const auto replayed = kEventItemModified | kEventItemIsFile;
    EXPECT_TRUE(source.wait_for(replayed, root + "/a/b/c/early"));
    EXPECT_TRUE(source.wait_for(replayed, root + "/brought/along/early"));
    source.drain();
    EXPECT_EQ(source.source.watch_count(), 6u);  // root, a, b, c, brought, along
    test::write_file(root + "/a/b/c/file", 1);
    test::write_file(root + "/brought/along/file", 1);
    EXPECT_EQ(source.flushed_paths(),
              (std::set<std::string>{root + "/a/b/c/file", root + "/brought/along/file"}));

    fs::rename(root + "/a", dir / "outside/a");
    source.drain();
    EXPECT_EQ(source.source.watch_count(), 3u);
    test::write_file(dir / "outside/a/b/file", 1);
    test::write_file(root + "/brought/file", 1);
    EXPECT_EQ(source.flushed_paths(), std::set<std::string>{root + "/brought/file"});
}

// Between the listing of p and the watch of its subfolder x, p moves aside
// and another folder takes its name: x must be watched where it is, not the
// newcomer's x in its place, and a later move that would close a loop among
// misfiled watches is just a move.
TEST(EventSource, AFolderRenamedOverWhileItsSubfoldersAreWatchedKeepsEachWatchInItsPlace) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/p/x");
    test::make_dirs(dir / "outside/q/x");
    const auto faults = once_before_watching(
        root + "/p/x",
        [root, outside = dir / "outside/q"] {
            fs::rename(root + "/p", root + "/p2");
            fs::rename(outside, root + "/p");
        },
        std::make_shared<std::atomic<bool>>(false));
    Recorded source(root, {.faults = faults, .quiet = false});
    ASSERT_TRUE(source.started);
    ASSERT_TRUE(source.wait_for(kEventHistoryDone));
    source.drain();
    EXPECT_EQ(source.source.watch_count(), 5u);  // root, p2, p2/x, p, p/x

    fs::rename(root + "/p2", root + "/p/x/p2");
    source.drain();
    test::write_file(root + "/p/x/p2/f", 1);
    test::write_file(root + "/p/x/p2/x/g", 1);
    test::write_file(root + "/p/x/h", 1);
    EXPECT_EQ(source.flushed_paths(),
              (std::set<std::string>{root + "/p/x/h", root + "/p/x/p2/f", root + "/p/x/p2/x/g"}));
    EXPECT_EQ(source.source.watch_count(), 5u);
}

// A removed folder that something still holds open keeps its watch until it
// is let go. A subfolder queued by its event meanwhile, whose parent's path
// leads nowhere now, went with it: no sign that the watches are out of step.
TEST(EventSource, AFolderRemovedWhileHeldOpenTakesWhatWasQueuedBelowItAlong) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/p");
    const int held = ::open((root + "/p").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    auto removed = std::make_shared<std::atomic<bool>>(false);
    const auto faults = once_before_watching(
        root + "/p/x",
        [root] {
            fs::remove(root + "/p/x");
            fs::remove(root + "/p");
        },
        removed);
    Recorded source(root, {.faults = faults});
    ASSERT_TRUE(source.started);

    test::make_dirs(root + "/p/x");
    source.source.flush();
    const auto events = source.take();
    EXPECT_TRUE(removed->load());
    EXPECT_FALSE(any_lost(events));
    EXPECT_EQ(source.source.watch_count(), 1u);
    ::close(held);
    test::write_file(root + "/g", 1);
    EXPECT_EQ(source.flushed_paths(), std::set<std::string>{root + "/g"});
}

// The walk meets d under m/n before the queue says how it got there: m went
// into d and came back, then d went into m/n. Read in order, those moves
// place every folder; taken ahead of them, d's new place would make m's
// first move look like one into itself.
TEST(EventSource, AFolderMetAheadOfTheMovesThatTookItThereIsPlacedByThem) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/m");
    test::make_dirs(root + "/d");
    auto moved = std::make_shared<std::atomic<bool>>(false);
    const auto faults = once_before_watching(
        root + "/m/n",
        [root] {
            fs::rename(root + "/m", root + "/d/m");
            fs::rename(root + "/d/m", root + "/m");
            fs::rename(root + "/d", root + "/m/n/d");
        },
        moved);
    Recorded source(root, {.faults = faults});
    ASSERT_TRUE(source.started);

    test::make_dirs(root + "/m/n");
    source.source.flush();
    const auto events = source.take();
    EXPECT_TRUE(moved->load());
    EXPECT_FALSE(any_lost(events));
    EXPECT_EQ(source.source.watch_count(), 4u);  // root, m, n, d
    test::write_file(root + "/m/n/d/f", 1);
    test::write_file(root + "/m/g", 1);
    EXPECT_EQ(source.flushed_paths(), (std::set<std::string>{root + "/m/g", root + "/m/n/d/f"}));
}

// e moves into g, a folder not watched yet, so nobody hears where it went;
// then a, which held e, moves into e. Read together, the second move seems
// to put a inside itself: it went wherever e went, and is watched once g is.
TEST(EventSource, AFolderMovedIntoOneThatLeftForAnUnwatchedPlaceGoesWithIt) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/a/e");
    auto moved = std::make_shared<std::atomic<bool>>(false);
    const auto faults = once_before_watching(
        root + "/t",
        [root] {
            test::make_dirs(root + "/g");
            fs::rename(root + "/a/e", root + "/g/e");
            fs::rename(root + "/a", root + "/g/e/a");
        },
        moved);
    Recorded source(root, {.faults = faults});
    ASSERT_TRUE(source.started);

    test::make_dirs(root + "/t");
    source.source.flush();
    EXPECT_TRUE(moved->load());
    EXPECT_FALSE(any_lost(source.take()));
    EXPECT_EQ(source.source.watch_count(), 5u);  // root, t, g, e, a
    test::write_file(root + "/g/e/a/f", 1);
    test::write_file(root + "/g/e/h", 1);
    EXPECT_EQ(source.flushed_paths(), (std::set<std::string>{root + "/g/e/a/f", root + "/g/e/h"}));
}

// p/x moves aside as p/y and a new p/x takes its name between p's listing
// and x's watch: the walk watches the newcomer, and the move that the queue
// then tells of belongs to the folder that had no watch yet.
TEST(EventSource, AFolderMovedAsideWhileItsNameIsReusedDuringTheWalkIsWatchedWhereItWent) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/p/x/deep");
    auto moved = std::make_shared<std::atomic<bool>>(false);
    const auto faults = once_before_watching(
        root + "/p/x",
        [root] {
            fs::rename(root + "/p/x", root + "/p/y");
            test::make_dirs(root + "/p/x");
        },
        moved);
    Recorded source(root, {.faults = faults, .quiet = false});
    ASSERT_TRUE(source.started);
    ASSERT_TRUE(source.wait_for(kEventHistoryDone));
    source.drain();
    EXPECT_TRUE(moved->load());
    EXPECT_EQ(source.source.watch_count(), 5u);  // root, p, x, y, y/deep
    test::write_file(root + "/p/y/f", 1);
    test::write_file(root + "/p/y/deep/g", 1);
    test::write_file(root + "/p/x/h", 1);
    EXPECT_EQ(source.flushed_paths(),
              (std::set<std::string>{root + "/p/x/h", root + "/p/y/deep/g", root + "/p/y/f"}));
}

// Two folders that trade places in one call: each watch goes with its own
// folder, whichever of the two had a watch when they traded, and whether
// their subfolders share names or not.
TEST(EventSource, ExchangedFoldersKeepEachWatchWithItsFolder) {
    for (const bool same_names : {true, false}) {
        for (const char* unwatched : {"", "a", "b"}) {
            SCOPED_TRACE(std::string(same_names ? "same" : "other") + " names, unwatched " +
                         unwatched);
            const test::TempDir dir;
            const std::string root = dir / "root";
            const std::string a_sub = same_names ? "sub" : "sa";
            const std::string b_sub = same_names ? "sub" : "sb";
            for (const auto& [folder, sub] : {std::pair{"a", a_sub}, std::pair{"b", b_sub}}) {
                if (folder != std::string_view(unwatched)) {
                    test::make_dirs(root + "/p/" + folder + "/" + sub);
                }
            }
            // A folder made just before the exchange is not watched yet when
            // the queue tells of both.
            auto exchanged = std::make_shared<std::atomic<bool>>(false);
            const auto faults = once_before_watching(
                root + "/t",
                [&] {
                    if (*unwatched != 0) {
                        const std::string made = std::string(unwatched);
                        test::make_dirs(root + "/p/" + made + "/" + (made == "a" ? a_sub : b_sub));
                    }
                    if (::renameat2(AT_FDCWD, (root + "/p/a").c_str(), AT_FDCWD,
                                    (root + "/p/b").c_str(), RENAME_EXCHANGE) != 0) {
                        ADD_FAILURE() << "exchange: " << std::strerror(errno);
                    }
                },
                exchanged);
            Recorded source(root, {.faults = faults});
            ASSERT_TRUE(source.started);
            test::make_dirs(root + "/t");
            source.source.flush();
            EXPECT_TRUE(exchanged->load());
            EXPECT_FALSE(any_lost(source.take()));
            EXPECT_EQ(source.source.watch_count(), 7u);  // root, p, a, b, their subfolders, t
            test::write_file(root + "/p/b/" + a_sub + "/f", 1);
            test::write_file(root + "/p/a/" + b_sub + "/g", 1);
            test::write_file(root + "/p/a/h", 1);
            EXPECT_EQ(source.flushed_paths(),
                      (std::set<std::string>{root + "/p/a/" + b_sub + "/g", root + "/p/a/h",
                                             root + "/p/b/" + a_sub + "/f"}));
        }
    }
}

// Six writers rename a folder back and forth while folders appear in it:
// a new folder's parent path is out of date more often than not, but the
// renames that explain it are on their way, and the table is never
// distrusted for it. Every folder is watched after.
TEST(EventSource, AFolderRenamedBackAndForthWhileFoldersAppearInItIsNoLoss) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/p/m");
    Recorded source(root, {});
    ASSERT_TRUE(source.started);
    std::vector<std::thread> writers;
    for (int w = 0; w < 6; ++w) {
        writers.emplace_back([&, w] {
            for (int k = 0; k < 150; ++k) {
                const bool forth = (k + w) % 2 == 0;
                std::error_code ignored;
                fs::rename(root + (forth ? "/p/m" : "/p/n"), root + (forth ? "/p/n" : "/p/m"),
                           ignored);
                fs::create_directory(root + (forth ? "/p/n/" : "/p/m/") + std::to_string(w) + "-" +
                                         std::to_string(k),
                                     ignored);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    source.source.flush();
    EXPECT_FALSE(any_lost(source.take()));
    const std::string moved = fs::exists(root + "/p/m") ? root + "/p/m" : root + "/p/n";
    std::set<std::string> written;
    for (const auto& entry : fs::directory_iterator(moved)) {
        test::write_file(entry.path().string() + "/f", 1);
        written.insert(entry.path().string() + "/f");
    }
    EXPECT_EQ(source.flushed_paths(), written);
}

// A folder renamed over keeps its node until its watch ends; the folder it
// was in going first must take it along, or no path could be built for it.
TEST(WatchTree, AFolderRenamedOverGoesWithTheFolderItWasIn) {
    detail::WatchTree tree;
    tree.set_root(1, "/r");
    ASSERT_EQ(tree.add(1, "p", 2), detail::WatchTree::Added::New);
    ASSERT_EQ(tree.add(2, "a", 3), detail::WatchTree::Added::New);
    ASSERT_EQ(tree.add(2, "b", 4), detail::WatchTree::Added::New);
    ASSERT_EQ(tree.add(4, "c", 5), detail::WatchTree::Added::New);
    ASSERT_TRUE(tree.move(3, 2, "b"));
    EXPECT_EQ(tree.child(2, "b"), 3);
    EXPECT_EQ(tree.path_of(5), "/r/p/b/c");
    auto removed = tree.remove_subtree(2);
    std::ranges::sort(removed);
    EXPECT_EQ(removed, (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(tree.size(), 1u);
}

TEST(EventSource, FoldersWhosePathsPassTheKernelsLimitAreWatched) {
    const test::TempDir dir;
    const std::string name(40, 'n');
    constexpr int kDepth = 300;  // some 12,000 bytes of path
    test::write_at_bottom_of_chain(dir, name, kDepth, 1);
    Recorded source(dir, {});
    ASSERT_TRUE(source.started);
    EXPECT_EQ(source.source.watch_count(), kDepth + 1u);
    test::write_at_bottom_of_chain(dir, name, kDepth, 2);
    std::string bottom = dir;
    for (int level = 0; level < kDepth; ++level) {
        bottom += "/" + name;
    }
    EXPECT_EQ(source.flushed_paths(), std::set<std::string>{bottom + "/bottom"});
}

TEST(EventSource, ReplaysWhatChangedSinceTheGivenIdThenSaysHistoryDone) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/sub");
    test::write_file(root + "/gone", 1);
    const EventId since = current_event_id();
    // Made while "the scan ran": after the id, before the source starts, and
    // while the source adds its watches.
    test::write_file(root + "/sub/during", 1);
    ASSERT_EQ(::unlink((root + "/gone").c_str()), 0);
    EventSourceFaults faults;
    faults.before_watch = [&](const std::string& folder) {
        if (folder.ends_with("/sub")) {
            std::ofstream(folder + "/walking") << "x";
        }
    };
    Recorded source(root, {.since = since, .faults = faults, .quiet = false});
    ASSERT_TRUE(source.wait_for(kEventHistoryDone));
    source.source.flush();
    const auto events = source.take();
    EXPECT_EQ(events.back().flags, kEventHistoryDone);
    EXPECT_EQ(events.back().path, "");
    std::set<std::string> replayed;
    for (const FsEvent& event : events) {
        replayed.insert(event.path);
    }
    // "gone" left the root; the listing of sub changed.
    const std::set<std::string> want{root, root + "/sub", root + "/sub/during",
                                     root + "/sub/walking"};
    EXPECT_TRUE(std::ranges::includes(replayed, want));
}

TEST(EventSource, LostEventsAskForTheirSubtreeToBeScannedAgain) {
    const test::TempDir dir;
    test::make_dirs(dir / "a/below");
    {
        // A kernel queue overflow: the whole root, and a walk for new folders.
        Recorded source(dir, {});
        ASSERT_TRUE(source.source.simulate_queue_overflow());
        EXPECT_TRUE(source.wait_for(kEventMustScanSubDirs | kEventKernelDropped, dir.path()));
        source.source.flush();
        EXPECT_EQ(source.source.watch_count(), 3u);
    }
    const auto budget = [](uint32_t max_user_watches) {
        EventSourceFaults faults;
        faults.max_user_watches = std::make_shared<std::atomic<uint32_t>>(max_user_watches);
        return faults;
    };
    {
        // All but a reserve of a thousand is one watch: the folder it stopped
        // at, nothing below, and the reader ends.
        Recorded source(dir, {.faults = budget(1001), .quiet = false, .hold_lost = true});
        ASSERT_TRUE(source.wait_for(kLost, dir / "a"));
        // Ended before it tells the loss, so its owner can tell it from a
        // passing one.
        EXPECT_FALSE(source.source.running());
        source.release();
        source.source.flush();
        const auto events = source.take();
        ASSERT_EQ(events.size(), 2u);  // with history done: nothing below was walked
        EXPECT_EQ(
            std::ranges::count_if(
                events, [&](const FsEvent& e) { return e.path == dir / "a" && e.flags == kLost; }),
            1);
        EXPECT_EQ(source.source.watch_count(), 1u);
    }
    // With no watch at all the source cannot start.
    EXPECT_FALSE(Recorded(dir, {.faults = budget(1000)}).started);
}

TEST(EventSource, TheRootGoingAwayOrComingBackIsRootChanged) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/sub");
    Recorded source(root, {});
    ASSERT_TRUE(source.started);
    fs::rename(root, dir / "elsewhere");
    ASSERT_TRUE(source.wait_for(kEventRootChanged, root));
    source.drain();
    // Changes in the moved folder are no longer under the root's path.
    test::write_file(dir / "elsewhere/sub/file", 1);
    EXPECT_TRUE(source.flushed_changes().empty());

    test::make_dirs(root);
    ASSERT_TRUE(source.wait_for(kEventRootChanged, root));
    source.drain();
    test::write_file(root + "/back", 1);
    EXPECT_EQ(source.flushed_paths(), std::set<std::string>{root + "/back"});

    ASSERT_EQ(::unlink((root + "/back").c_str()), 0);
    ASSERT_EQ(::rmdir(root.c_str()), 0);
    ASSERT_TRUE(source.wait_for(kEventRootChanged, root));
    source.source.flush();
    EXPECT_EQ(source.source.watch_count(), 0u);
}

TEST(EventSource, StopJoinsTheReaderAndLeavesNoDescriptorBehind) {
    const test::TempDir dir;
    const size_t descriptors = entries_in("/proc/self/fd");
    const size_t threads = entries_in("/proc/self/task");
    {
        Recorded source(dir, {});
        ASSERT_TRUE(source.started);
        source.source.flush();  // the first walk has closed its folders
        EXPECT_EQ(entries_in("/proc/self/task"), threads + 1);
        EXPECT_EQ(entries_in("/proc/self/fd"), descriptors + 2);  // inotify and its wake-up
        EventSource moved = std::move(source.source);
        moved.stop();
        moved.stop();
        moved.flush();  // a stopped source flushes nothing and returns
        EXPECT_FALSE(moved.simulate_queue_overflow());
        EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
        EXPECT_EQ(entries_in("/proc/self/task"), threads);
    }
    // Sources that fail to start leave nothing either.
    EXPECT_FALSE(Recorded(std::string("/tmp\0x", 6), {}).started);
    EXPECT_FALSE(Recorded("relative", {}).started);
    EXPECT_FALSE(Recorded(dir / "missing", {}).started);
    EXPECT_FALSE(Recorded("/proc/self", {}).started);  // inotify never sees it change
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
}

TEST(EventSource, AFailingCallbackStopsTheReaderWithAMustScanOfTheRoot) {
    const test::TempDir dir;
    Recorded source(dir, {.throw_on_batch = 0, .quiet = false});  // history done comes first
    ASSERT_TRUE(source.started);
    EXPECT_TRUE(source.wait_for(kLost, dir.path()));
    source.source.flush();  // returns: the reader has ended
    test::write_file(dir / "unseen", 1);
    source.source.flush();
    EXPECT_EQ(source.take().size(), 1u);
}

}  // namespace
}  // namespace bramwex::core::sys
