#include "core/live/watch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
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

// Each event is decided by the first of its flags that holds; paths keep their
// order, and the first history and the first reason stay.
TEST(Watcher, AbsorbDecidesByTheFirstFlagAndKeepsOrderAndTheFirstHistoryAndReason) {
    const auto ev = [](std::string path, EventFlags flags) {
        return FsEvent{std::move(path), flags, 0};
    };
    const EventFlags mod = kEventItemModified | kEventItemIsFile;
    Watcher watcher = stream_watcher("/r");
    Watcher::Stream& s = watcher.stream();
    const auto before = Watcher::Clock::now();
    watcher.absorb({ev("/r/a", mod), ev("/elsewhere/b", mod), ev("/r/c/", kEventMustScanSubDirs),
                    ev("/r/x", kEventRootChanged | kEventHistoryDone),
                    ev("/r/x", kEventUserDropped), ev("/r", kEventItemCreated | kEventItemIsDir)});
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", ""}));
    EXPECT_FALSE(s.history_done);
    EXPECT_EQ(watcher.take_pending_reason(), Reason::RootMoved);
    EXPECT_EQ(watcher.take_pending_reason(), std::nullopt);

    watcher.absorb({ev("", kEventHistoryDone | kEventMustScanSubDirs),
                    ev("/r/x", kEventIdsWrapped | kEventRootChanged), ev("/r/a", mod)});
    ASSERT_TRUE(s.history_done);
    EXPECT_GE(*s.history_done, before);
    EXPECT_EQ(*s.history_done, s.last_event);
    EXPECT_EQ(s.changed, (std::vector<std::string>{"a", "", "a"}));
    EXPECT_EQ(watcher.take_pending_reason(), Reason::IdsWrapped);
    const auto first_history = *s.history_done;
    for (const EventFlags dropped : {kEventUserDropped, kEventKernelDropped}) {
        watcher.absorb({ev("/r/d", kEventMustScanSubDirs | dropped), ev("", kEventHistoryDone)});
        EXPECT_EQ(watcher.take_pending_reason(), Reason::Dropped);
    }
    EXPECT_EQ(*s.history_done, first_history);
    EXPECT_EQ(s.must_scan, (std::vector<std::string>{"c"}));
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
