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
#include "core/sys/linux_inotify_api.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sys::FsEvent;
using sys::FsEventKind;

constexpr auto kPatience = 20s;  // bound of every wait for an event

// A stream watcher without a running stream, for the pure parts.
Watcher stream_watcher(std::string root, std::vector<sys::FirmlinkPair> firmlinks = {},
                       std::optional<std::string> ignored = std::nullopt) {
    Watcher::Stream stream;
    stream.root = std::move(root);
    stream.firmlinks = std::move(firmlinks);
    stream.ignored = std::move(ignored);
    return Watcher(std::move(stream));
}

FsEvent changed(std::string path) {
    return {FsEventKind::Changed, Reason::Dropped, std::move(path)};
}
FsEvent must_scan(std::string path) {
    return {FsEventKind::MustScan, Reason::Dropped, std::move(path)};
}
FsEvent history_done() {
    return {FsEventKind::HistoryDone, Reason::Dropped, {}};
}
FsEvent missed(Reason reason) {
    return {FsEventKind::Missed, reason, {}};
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

TEST(Watcher, FolderOfFollowsFirmlinksBothWaysAndDropsTheIgnoredFolder) {
    const std::vector<sys::FirmlinkPair> pairs = {
        {"/Applications", "/System/Volumes/Data/Applications"},
        {"/Users", "/System/Volumes/Data/Users"},
    };
    // The ignored folder goes under either name.
    const Watcher me = stream_watcher("/Users/me", pairs, "/Users/me/.cache");
    EXPECT_EQ(me.folder_of("/Users/me/.cache"), std::nullopt);
    EXPECT_EQ(me.folder_of("/Users/me/.cache/x"), std::nullopt);
    EXPECT_EQ(me.folder_of("/System/Volumes/Data/Users/me/.cache/x"), std::nullopt);
    EXPECT_EQ(me.folder_of("/Users/me/.cached"), ".cached");

    // Root under the firmlink, events under the data path.
    const Watcher apps = stream_watcher("/Applications/Tool.app", pairs);
    EXPECT_EQ(apps.folder_of("/System/Volumes/Data/Applications/Tool.app/Contents"), "Contents");
    EXPECT_EQ(apps.folder_of("/Applications/Tool.app/Contents/"), "Contents");
    EXPECT_EQ(apps.folder_of("/System/Volumes/Data/Applications/Other.app"), std::nullopt);

    // Root under the data path, events under the firmlink.
    const Watcher data = stream_watcher("/System/Volumes/Data/Users", pairs);
    EXPECT_EQ(data.folder_of("/Users/me/file"), "me/file");
    EXPECT_EQ(data.folder_of("/Users"), "");
    EXPECT_EQ(data.folder_of("/UsersX/me"), std::nullopt);
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

TEST(Watcher, FollowsAStreamFromTheScanStartAndDropsTheIgnoredFolder) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/cache");
    test::make_dirs(root + "/sub");
    const sys::FsEventsApi api = sys::detail::inotify_api_unprobed();
    const size_t descriptors = open_descriptors();
    {
        const sys::FsEventStreamEventId since = api.get_current_event_id();
        test::write_file(root + "/sub/while-scanning", 1);  // after the scan's id
        auto watcher = Watcher::follow_stream(api, root + "/", since, root + "/cache/");
        ASSERT_TRUE(watcher);
        Watcher::Stream& s = watcher->stream();
        EXPECT_EQ(s.root, root);
        EXPECT_EQ(s.ignored, root + "/cache");
        EXPECT_TRUE(s.firmlinks.empty());
        EXPECT_EQ(s.pending_reason, std::nullopt);
        ASSERT_TRUE(absorb_until_history(*watcher));
        s.stream.flush_sync();
        watcher->absorb_queued();
        EXPECT_NE(std::find(s.changed.begin(), s.changed.end(), "sub/while-scanning"),
                  s.changed.end());

        s.changed.clear();
        test::write_file(root + "/cache/saved.scan", 1);
        test::write_file(root + "/sub/later", 1);
        s.stream.flush_sync();
        watcher->absorb_queued();
        EXPECT_EQ(s.changed, (std::vector<std::string>{"sub/later"}));

        ASSERT_TRUE(sys::detail::inject_queue_overflow(s.stream.stream_ref()));
        s.stream.flush_sync();
        watcher->absorb_queued();
        EXPECT_EQ(watcher->take_pending_reason(), Reason::Dropped);
    }
    // Dropping the watcher tore the stream down.
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(Watcher, NoStreamStartsWhereTheStandInCannotRun) {
    const test::TempDir dir;
    const sys::FsEventsApi api = sys::detail::inotify_api_unprobed();
    sys::detail::InotifySettings unavailable;
    unavailable.unavailable = true;
    const auto old = sys::detail::set_inotify_settings(unavailable);
    EXPECT_FALSE(Watcher::follow_stream(api, dir.path(), 1, std::nullopt));
    sys::detail::set_inotify_settings(old);
    EXPECT_FALSE(Watcher::follow_stream(api, dir / "missing", 1, std::nullopt));
}

}  // namespace
}  // namespace bramwex::core
