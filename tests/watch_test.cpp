#include "core/live/watch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sys;

// A stream watcher without a running source, for the pure parts.
Watcher stream_watcher(std::string root, std::optional<std::string> ignored = std::nullopt) {
    Watcher::Stream stream;
    stream.root = std::move(root);
    stream.ignored = std::move(ignored);
    return Watcher(std::move(stream));
}

TEST(Watcher, FolderOfGivesPathsRelativeToTheRootOutsideTheIgnoredFolder) {
    struct Row {
        const char* root;
        const char* ignored;
        const char* path;
        std::optional<std::string> want;
    };
    const Row rows[] = {
        {"/data", nullptr, "/data", ""},
        {"/data", nullptr, "/data/a/b/", "a/b"},
        {"/data", nullptr, "/data/a//", "a/"},  // one trailing '/' only
        {"/data", nullptr, "/database", std::nullopt},
        {"", nullptr, "/", ""},  // the root "/"
        {"", nullptr, "/etc/hosts", "etc/hosts"},
        {"/home/me", "/home/me/.cache", "/home/me/.cache/x/", std::nullopt},
        {"/home/me", "/home/me/.cache", "/home/me/.cached", ".cached"},
    };
    for (const Row& row : rows) {
        const auto ignored = row.ignored ? std::optional<std::string>(row.ignored) : std::nullopt;
        EXPECT_EQ(stream_watcher(row.root, ignored).folder_of(row.path), row.want) << row.path;
    }
}

TEST(Watcher, EachEventIsDecidedByTheFirstFlagThatHolds) {
    struct Row {
        EventFlags flags;
        std::optional<Reason> reason;
        bool history;
        std::vector<std::string> changed, must_scan;
    };
    const Row rows[] = {
        {kEventItemCreated | kEventItemIsDir, std::nullopt, false, {"p"}, {}},
        {kEventMustScanSubDirs, std::nullopt, false, {}, {"p"}},
        {kEventMustScanSubDirs | kEventUserDropped, Reason::Dropped, false, {}, {}},
        {kEventMustScanSubDirs | kEventKernelDropped, Reason::Dropped, false, {}, {}},
        {kEventIdsWrapped | kEventRootChanged, Reason::IdsWrapped, false, {}, {}},
        {kEventRootChanged | kEventHistoryDone, Reason::RootMoved, false, {}, {}},
        {kEventHistoryDone | kEventMustScanSubDirs, std::nullopt, true, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        Watcher watcher = stream_watcher("/r");
        watcher.absorb({{"/r/p", row.flags, 7}});
        const Watcher::Stream& s = watcher.stream();
        EXPECT_EQ(s.pending_reason, row.reason);
        EXPECT_EQ(s.history_done.has_value(), row.history);
        EXPECT_EQ(s.changed, row.changed);
        EXPECT_EQ(s.must_scan, row.must_scan);
    }
}

TEST(Watcher, AbsorbKeepsTheOrderOfPathsAndTheFirstHistoryAndReason) {
    const auto changed = [](std::string path) {
        return FsEvent{std::move(path), kEventItemModified | kEventItemIsFile, 0};
    };
    const FsEvent history{{}, kEventHistoryDone, 0};
    const FsEvent wrapped{"/r/x", kEventIdsWrapped, 0};
    Watcher watcher = stream_watcher("/r");
    const auto before = Watcher::Clock::now();
    watcher.absorb({changed("/r/a"),
                    changed("/elsewhere/b"),
                    {"/r/c/", kEventMustScanSubDirs, 0},
                    history,
                    {"/r/x", kEventRootChanged, 0},
                    {"/r/x", kEventUserDropped, 0},
                    changed("/r")});
    Watcher::Stream& s = watcher.stream();
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(s.must_scan, (std::vector<std::string>{"c"}));
    ASSERT_TRUE(s.history_done);
    EXPECT_GE(*s.history_done, before);
    EXPECT_EQ(*s.history_done, s.last_event);

    const auto first_history = *s.history_done;
    watcher.absorb({history, wrapped, changed("/r/a")});
    EXPECT_EQ(*s.history_done, first_history);
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", "", "a"}));

    EXPECT_EQ(watcher.take_pending_reason(), Reason::RootMoved);
    EXPECT_EQ(watcher.take_pending_reason(), std::nullopt);
    watcher.absorb({wrapped});
    EXPECT_EQ(watcher.take_pending_reason(), Reason::IdsWrapped);
}

// What a running source replays and reports is the event source's to test;
// here, that its events reach the watcher and that the watcher owns it.
TEST(Watcher, FollowsASourceThatEndsWithTheWatcher) {
    const test::TempDir dir;
    test::make_dirs(dir / "cache");
    test::make_dirs(dir / "sub");
    EXPECT_FALSE(Watcher::follow_stream(dir / "missing", 1, std::nullopt));
    const auto descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = descriptors();
    {
        auto watcher = Watcher::follow_stream(dir / "", current_event_id() + 86'400'000'000'000,
                                              dir / "cache/");
        ASSERT_TRUE(watcher);
        Watcher::Stream& s = watcher->stream();
        s.source.flush();
        test::write_file(dir / "cache/saved.scan", 1);
        test::write_file(dir / "sub/file", 1);
        s.source.flush();
        watcher->absorb_queued();
        EXPECT_EQ(s.changed, std::vector<std::string>{"sub/file"});
    }
    EXPECT_EQ(descriptors(), before);
}

}  // namespace
}  // namespace bramwex::core
