#include "core/live/watch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/fatal.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sys::FsEvent;

constexpr auto kPatience = 20s;  // bound of every wait for an event

// A stream watcher without a running source, for the pure parts.
Watcher stream_watcher(std::string root, std::optional<std::string> ignored = std::nullopt) {
    Watcher::Stream stream;
    stream.root = std::move(root);
    stream.ignored = std::move(ignored);
    return Watcher(std::move(stream));
}

FsEvent changed(std::string path) {
    return {std::move(path), sys::kEventItemModified | sys::kEventItemIsFile, 0};
}
FsEvent must_scan(std::string path) {
    return {std::move(path), sys::kEventMustScanSubDirs, 0};
}
FsEvent history_done() {
    return {{}, sys::kEventHistoryDone, 0};
}
FsEvent missed(Reason reason) {
    const sys::EventFlags flags = reason == Reason::Dropped      ? sys::kEventUserDropped
                                  : reason == Reason::IdsWrapped ? sys::kEventIdsWrapped
                                                                 : sys::kEventRootChanged;
    return {"/r/x", flags, 0};
}

size_t open_descriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

TEST(WatchReason, NamesAndBytes) {
    EXPECT_EQ(reason_name(Reason::IdsWrapped), "IdsWrapped");
    EXPECT_EQ(reason_from_byte(4), Reason::MustScan);
    EXPECT_EQ(reason_from_byte(5), std::nullopt);
}

TEST(Watcher, FolderOfGivesPathsRelativeToTheRootOnly) {
    const Watcher watcher = stream_watcher("/data");
    EXPECT_EQ(watcher.folder_of("/data"), "");
    EXPECT_EQ(watcher.folder_of("/data/"), "");
    EXPECT_EQ(watcher.folder_of("/data/a/b"), "a/b");
    EXPECT_EQ(watcher.folder_of("/data/a/b/"), "a/b");
    EXPECT_EQ(watcher.folder_of("/data/a//"), "a/");  // one trailing '/' only
    EXPECT_EQ(watcher.folder_of("/database"), std::nullopt);
    EXPECT_EQ(watcher.folder_of("/dat"), std::nullopt);
    EXPECT_EQ(watcher.folder_of(""), std::nullopt);

    const Watcher everything = stream_watcher("");  // the root "/"
    EXPECT_EQ(everything.folder_of("/"), "");
    EXPECT_EQ(everything.folder_of("/etc/hosts"), "etc/hosts");
}

TEST(Watcher, FolderOfDropsTheIgnoredFolderAndWhatIsBelowIt) {
    const Watcher me = stream_watcher("/home/me", "/home/me/.cache");
    EXPECT_EQ(me.folder_of("/home/me/.cache"), std::nullopt);
    EXPECT_EQ(me.folder_of("/home/me/.cache/x/"), std::nullopt);
    EXPECT_EQ(me.folder_of("/home/me/.cached"), ".cached");
}

TEST(Watcher, EachEventIsDecidedByTheFirstFlagThatHolds) {
    struct Row {
        sys::EventFlags flags;
        std::optional<Reason> reason;  // else history done, or a path
        bool history;
        const char* path_kind;  // "changed", "must scan" or ""
    };
    using namespace sys;
    const Row rows[] = {
        {kEventItemCreated | kEventItemIsDir, std::nullopt, false, "changed"},
        {kEventMustScanSubDirs, std::nullopt, false, "must scan"},
        {kEventMustScanSubDirs | kEventUserDropped, Reason::Dropped, false, ""},
        {kEventMustScanSubDirs | kEventKernelDropped, Reason::Dropped, false, ""},
        {kEventIdsWrapped | kEventRootChanged, Reason::IdsWrapped, false, ""},
        {kEventRootChanged | kEventHistoryDone, Reason::RootMoved, false, ""},
        {kEventHistoryDone | kEventMustScanSubDirs, std::nullopt, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        Watcher watcher = stream_watcher("/r");
        watcher.absorb({{"/r/p", row.flags, 7}});
        Watcher::Stream& s = watcher.stream();
        EXPECT_EQ(s.pending_reason, row.reason);
        EXPECT_EQ(s.history_done.has_value(), row.history);
        const std::vector<std::string> p{"p"};
        EXPECT_EQ(s.changed,
                  std::string_view(row.path_kind) == "changed" ? p : std::vector<std::string>{});
        EXPECT_EQ(s.must_scan,
                  std::string_view(row.path_kind) == "must scan" ? p : std::vector<std::string>{});
    }
}

TEST(Watcher, AbsorbSortsABatchIntoChangesMustScansAndTheFirstHistoryAndReason) {
    Watcher watcher = stream_watcher("/r");
    const auto before = Watcher::Clock::now();
    watcher.absorb({changed("/r/a"), changed("/elsewhere/b"), must_scan("/r/c/"), history_done(),
                    missed(Reason::RootMoved), missed(Reason::Dropped), changed("/r")});
    Watcher::Stream& s = watcher.stream();
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(s.must_scan, (std::vector<std::string>{"c"}));
    EXPECT_GE(s.last_event, before);
    ASSERT_TRUE(s.history_done);
    EXPECT_EQ(*s.history_done, s.last_event);
    EXPECT_EQ(s.pending_reason, Reason::RootMoved);

    const auto first_history = *s.history_done;
    watcher.absorb({history_done(), missed(Reason::IdsWrapped), changed("/r/a")});
    EXPECT_EQ(*s.history_done, first_history);
    EXPECT_GE(s.last_event, first_history);
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", "", "a"}));

    EXPECT_EQ(watcher.take_pending_reason(), Reason::RootMoved);
    EXPECT_EQ(watcher.take_pending_reason(), std::nullopt);
    watcher.absorb({missed(Reason::IdsWrapped)});
    EXPECT_EQ(watcher.take_pending_reason(), Reason::IdsWrapped);
}

TEST(Watcher, APollingWatcherHasNoStreamParts) {
    const auto now = Watcher::Clock::now();
    Watcher watcher = Watcher::follow_polling(now);
    EXPECT_FALSE(watcher.streams());
    EXPECT_EQ(watcher.polling().relist_end, now);
    EXPECT_THROW(watcher.stream(), Fatal);
    EXPECT_THROW(watcher.absorb({}), Fatal);
    EXPECT_THROW(stream_watcher("/r").polling(), Fatal);
}

// Absorbs queued batches until the first history-done has come.
bool absorb_until_history(Watcher& watcher) {
    const auto give_up = std::chrono::steady_clock::now() + kPatience;
    while (!watcher.stream().history_done) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        if (watcher.absorb_queued() == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
    return true;
}

TEST(Watcher, FollowsASourceFromTheScanStartAndDropsTheIgnoredFolder) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/cache");
    test::make_dirs(root + "/sub");
    const size_t descriptors = open_descriptors();
    {
        const sys::EventId since = sys::current_event_id();
        test::write_file(root + "/sub/while-scanning", 1);  // after the scan's id
        auto watcher = Watcher::follow_stream(root + "/", since, root + "/cache/");
        ASSERT_TRUE(watcher);
        Watcher::Stream& s = watcher->stream();
        EXPECT_EQ(s.root, root);
        EXPECT_EQ(s.ignored, root + "/cache");
        EXPECT_EQ(s.pending_reason, std::nullopt);
        ASSERT_TRUE(absorb_until_history(*watcher));
        s.source.flush();
        watcher->absorb_queued();
        EXPECT_NE(std::find(s.changed.begin(), s.changed.end(), "sub/while-scanning"),
                  s.changed.end());

        s.changed.clear();
        test::write_file(root + "/cache/saved.scan", 1);
        test::write_file(root + "/sub/later", 1);
        s.source.flush();
        watcher->absorb_queued();
        EXPECT_EQ(s.changed, (std::vector<std::string>{"sub/later"}));

        ASSERT_TRUE(s.source.simulate_queue_overflow());
        s.source.flush();
        watcher->absorb_queued();
        EXPECT_EQ(watcher->take_pending_reason(), Reason::Dropped);
    }
    // Dropping the watcher stopped the source.
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(Watcher, NoSourceStartsWhereItCannotRun) {
    const test::TempDir dir;
    EXPECT_FALSE(Watcher::follow_stream(dir / "missing", 1, std::nullopt));
    EXPECT_FALSE(Watcher::follow_stream("/proc/self", 1, std::nullopt));  // never "changes"
    sys::EventSourceFaults no_watches;
    no_watches.watch_limit = 0;
    EXPECT_FALSE(Watcher::follow_stream(dir.path(), 1, std::nullopt, no_watches));
}

}  // namespace
}  // namespace bramwex::core
