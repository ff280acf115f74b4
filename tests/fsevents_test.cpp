#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/sys/fsevents_api.hpp"
#include "core/sys/fsevents_channel.hpp"
#include "core/sys/fsevents_event.hpp"
#include "core/sys/fsevents_firmlinks.hpp"
#include "core/sys/fsevents_stream.hpp"
#include "core/sys/linux_inotify_api.hpp"
#include "core/sys/linux_inotify_device.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core::sys {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 20s;  // bound of every wait for an event

size_t entries_in(const char* folder) {
    return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

size_t open_descriptors() {
    return entries_in("/proc/self/fd");
}

size_t threads_running() {
    return entries_in("/proc/self/task");
}

void touch(const std::string& path) {
    std::ofstream(path, std::ios::app) << "x";
}

detail::InotifySettings unavailable() {
    detail::InotifySettings settings;
    settings.unavailable = true;
    return settings;
}

detail::InotifySettings watch_limit(uint32_t watches) {
    detail::InotifySettings settings;
    settings.watch_limit = watches;
    return settings;
}

// An id far enough ahead that nothing on disk is newer: a stream started
// from it replays nothing and only says "history done".
FsEventStreamEventId far_future() {
    return current_event_id() + std::chrono::nanoseconds(24h).count();
}

// ---------------------------------------------------------------------------
// The callback's decoding.

TEST(FsEventCallback, TheFirstFlagTestThatHoldsDecides) {
    struct Row {
        FsEventStreamEventFlags flags;
        FsEvent expected;
        const char* why;
    };
    const std::string path = "/v/p";
    const Row rows[] = {
        {0, {FsEventKind::Changed, Reason::Dropped, path}, "no flag is a change"},
        {0x01, {FsEventKind::MustScan, Reason::Dropped, path}, "must-scan keeps the path"},
        {0x01 | 0x02, {FsEventKind::Missed, Reason::Dropped, {}}, "dropped wins over must-scan"},
        {0x04, {FsEventKind::Missed, Reason::Dropped, {}}, "kernel dropped"},
        {0x08 | 0x20, {FsEventKind::Missed, Reason::IdsWrapped, {}}, "wrapped before root"},
        {0x20 | 0x10, {FsEventKind::Missed, Reason::RootMoved, {}}, "root before history"},
        {0x10, {FsEventKind::HistoryDone, Reason::Dropped, {}}, "history done has no path"},
        {0x10 | 0x01, {FsEventKind::HistoryDone, Reason::Dropped, {}}, "history before must-scan"},
        {0x100 | 0x10000, {FsEventKind::Changed, Reason::Dropped, path}, "item bits are a change"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(classify_event(path, row.flags), row.expected) << row.why;
    }
}

TEST(FsEventCallback, SendsOneBatchPerCallInArrayOrderAndNothingForNoEvents) {
    auto [sender, receiver] = batch_channel();
    fsevents_callback(nullptr, &sender, 0, nullptr, nullptr, nullptr);
    EXPECT_FALSE(receiver.try_receive());

    std::string invalid = "/r/\xff";
    const char* paths[] = {"/r/a", "/r/b", invalid.c_str()};
    const FsEventStreamEventFlags flags[] = {0, 0x10, 0x02};
    const FsEventStreamEventId ids[] = {7, 8, 9};
    fsevents_callback(nullptr, &sender, 3, paths, flags, ids);
    const auto batch = receiver.try_receive();
    ASSERT_TRUE(batch);
    const FsEventBatch expected = {{FsEventKind::Changed, Reason::Dropped, "/r/a"},
                                   {FsEventKind::HistoryDone, Reason::Dropped, {}},
                                   {FsEventKind::Missed, Reason::Dropped, {}}};
    EXPECT_EQ(*batch, expected);
    EXPECT_FALSE(receiver.try_receive());
}

TEST(FsEventChannel, KeepsOrderAndLosesBatchesOnlyWhenTheReceiverIsGone) {
    auto [sender, receiver] = batch_channel();
    const BatchSender second = sender;
    EXPECT_TRUE(sender.send({{FsEventKind::Changed, Reason::Dropped, "1"}}));
    EXPECT_TRUE(second.send({{FsEventKind::Changed, Reason::Dropped, "2"}}));
    EXPECT_EQ(receiver.try_receive()->front().path, "1");
    EXPECT_EQ(receiver.try_receive()->front().path, "2");
    EXPECT_FALSE(receiver.try_receive());

    EXPECT_TRUE(sender.send({}));
    { BatchReceiver gone = std::move(receiver); }
    EXPECT_FALSE(sender.send({}));
    const char* paths[] = {"/x"};
    const FsEventStreamEventFlags flags[] = {0};
    fsevents_callback(nullptr, &sender, 1, paths, flags, nullptr);  // dropped silently
}

// ---------------------------------------------------------------------------
// Firmlinks.

TEST(FsEventFirmlinks, PairsEveryLineWithATabAndSkipsTheRest) {
    Firmlinks lines("/Users\tUsers\n\nno tab here\n/Applications\tApplications\n/Library\tLibrary");
    std::vector<FirmlinkPair> pairs;
    while (auto pair = lines.next()) {
        pairs.push_back(*pair);
    }
    const std::vector<FirmlinkPair> expected = {
        {"/Users", "/System/Volumes/Data/Users"},
        {"/Applications", "/System/Volumes/Data/Applications"},
        {"/Library", "/System/Volumes/Data/Library"},
    };
    EXPECT_EQ(pairs, expected);
    EXPECT_FALSE(lines.next());
}

TEST(FsEventFirmlinks, ReadsAFileAndGivesNothingForOneThatCannotBeRead) {
    const test::TempDir dir;
    std::ofstream(dir / "firmlinks") << "/opt\tdata/opt\t2\n";
    const std::vector<FirmlinkPair> expected = {{"/opt", "/System/Volumes/Data/data/opt\t2"}};
    EXPECT_EQ(read_firmlinks(dir / "firmlinks"), expected);
    EXPECT_TRUE(read_firmlinks(dir / "missing").empty());
    EXPECT_TRUE(read_firmlinks(dir.path()).empty());
}

// ---------------------------------------------------------------------------
// Loading the table.

struct FakeLinker {
    static inline std::vector<std::string> opened;
    static inline std::vector<std::string> asked;
    static inline std::string missing;  // the symbol that is not found

    static void* open(const char* path, int mode) {
        opened.push_back(std::string(path) + " mode " + std::to_string(mode));
        return const_cast<char*>(path);
    }
    static void* symbol(void* /*library*/, const char* name) {
        asked.emplace_back(name);
        return name == missing ? nullptr : const_cast<char*>(name);
    }
    static void reset(std::string missing_symbol) {
        opened.clear();
        asked.clear();
        missing = std::move(missing_symbol);
    }
};

TEST(FsEventApi, LooksUpEverySlotAndStopsAtTheFirstMiss) {
    const detail::SymbolSource fake{&FakeLinker::open, &FakeLinker::symbol};
    FakeLinker::reset("");
    const auto table = detail::load_frameworks(fake);
    ASSERT_TRUE(table);
    EXPECT_EQ(std::set(FakeLinker::asked.begin(), FakeLinker::asked.end()).size(), 16u);
    EXPECT_EQ(FakeLinker::opened,
              (std::vector<std::string>{std::string(detail::kCoreServicesPath) + " mode 5",
                                        std::string(detail::kCoreFoundationPath) + " mode 5"}));
    EXPECT_STREQ(reinterpret_cast<const char*>(table->stream_create), "FSEventStreamCreate");
    EXPECT_STREQ(reinterpret_cast<const char*>(table->release), "CFRelease");
    EXPECT_STREQ(reinterpret_cast<const char*>(table->type_array_callbacks),
                 "kCFTypeArrayCallBacks");
    EXPECT_STREQ(reinterpret_cast<const char*>(table->queue_release), "dispatch_release");
    EXPECT_FALSE(table->stand_in);

    FakeLinker::reset("FSEventsGetCurrentEventId");
    EXPECT_FALSE(detail::load_frameworks(fake));
    EXPECT_EQ(FakeLinker::asked.back(), "FSEventsGetCurrentEventId");
    EXPECT_LT(FakeLinker::asked.size(), 16u);

    // The frameworks do not exist here; the real linker says so.
    EXPECT_FALSE(detail::load_frameworks(detail::dynamic_linker()));
}

TEST(FsEventApi, TheCellLoadsOnceForAllCallersAndKeepsAnAbsentTable) {
    std::atomic<int> loads{0};
    detail::ApiCell absent([&]() -> std::optional<FsEventsApi> {
        ++loads;
        std::this_thread::yield();
        return std::nullopt;
    });
    std::vector<std::thread> callers;
    std::atomic<int> found{0};
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] { found += absent.get() != nullptr ? 1 : 0; });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(absent.get(), nullptr);
    EXPECT_EQ(loads.load(), 1);
    EXPECT_EQ(found.load(), 0);

    detail::ApiCell present([] { return std::optional<FsEventsApi>(FsEventsApi{}); });
    EXPECT_NE(present.get(), nullptr);
    EXPECT_EQ(present.get(), present.get());
}

TEST(FsEventApi, TheProcessTableIsTheStandInWithIncreasingIds) {
    const FsEventsApi* api = fsevents_api();
    if (!inotify_api()) {
        EXPECT_EQ(api, nullptr);
        EXPECT_EQ(current_event_id(), 0u);
        GTEST_SKIP() << "inotify is not available here";
    }
    ASSERT_NE(api, nullptr);
    EXPECT_TRUE(api->stand_in);
    EXPECT_EQ(api, fsevents_api());
    const FsEventStreamEventId first = current_event_id();
    const FsEventStreamEventId second = current_event_id();
    EXPECT_NE(first, 0u);
    EXPECT_LT(first, second);

    const auto old = detail::set_inotify_settings(unavailable());
    EXPECT_FALSE(inotify_api());
    detail::set_inotify_settings(old);
}

TEST(FsEventApi, OnlyDevicesWhoseChangesTheKernelSeesHaveAUuid) {
    const std::string mountinfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "bad line\n"
        "40 22 0:45 / /net rw - nfs4 server:/export rw\n"
        "41 22 0:46 / /mnt/ssh rw - fuse.sshfs me@host: rw\n";
    EXPECT_EQ(inotify::detail::fs_type_of_device(mountinfo, makedev(8, 1)), "ext4");
    EXPECT_EQ(inotify::detail::fs_type_of_device(mountinfo, makedev(0, 45)), "nfs4");
    EXPECT_EQ(inotify::detail::fs_type_of_device(mountinfo, makedev(0, 46)), "fuse.sshfs");
    EXPECT_EQ(inotify::detail::fs_type_of_device(mountinfo, makedev(9, 9)), std::nullopt);
    EXPECT_TRUE(inotify::detail::fs_type_reports_changes("ext4"));
    EXPECT_TRUE(inotify::detail::fs_type_reports_changes("tmpfs"));
    EXPECT_FALSE(inotify::detail::fs_type_reports_changes("nfs4"));
    EXPECT_FALSE(inotify::detail::fs_type_reports_changes("fuse.sshfs"));
    EXPECT_FALSE(inotify::detail::fs_type_reports_changes("proc"));

    const FsEventsApi api = detail::inotify_api_unprobed();
    const test::TempDir dir;
    EXPECT_TRUE(device_has_uuid(api, test::lstat_of(dir).st_dev));
    EXPECT_FALSE(device_has_uuid(api, test::lstat_of("/proc/self").st_dev));
}

// ---------------------------------------------------------------------------
// The stand-in stream, through the table, with a callback that records the
// raw paths and flags.

struct RawEvent {
    std::string path;
    FsEventStreamEventFlags flags = 0;
    friend bool operator==(const RawEvent&, const RawEvent&) = default;
};

class RawStream {
  public:
    struct Options {
        FsEventStreamEventId since = 0;  // 0: far in the future
        uint32_t flags = kStreamFlags;
        double latency = kStreamLatencySeconds;
        detail::InotifySettings settings{};
    };

    RawStream(const std::string& root, Options options) : api_(detail::inotify_api_unprobed()) {
        const auto old = detail::set_inotify_settings(options.settings);
        FsEventStreamContext context;
        context.info = this;
        const CfStringRef path =
            api_.string_create_with_file_system_representation(nullptr, root.c_str());
        const void* values[] = {path};
        const CfArrayRef paths = api_.array_create(nullptr, values, 1, api_.type_array_callbacks);
        api_.release(path);
        const FsEventStreamEventId since = options.since != 0 ? options.since : far_future();
        stream_ = api_.stream_create(nullptr, &RawStream::callback, &context, paths, since,
                                     options.latency, options.flags);
        api_.release(paths);
        detail::set_inotify_settings(old);
        queue_ = api_.queue_create(kStreamQueueLabel, nullptr);
        api_.stream_set_dispatch_queue(stream_, queue_);
        started_ = api_.stream_start(stream_) != 0;
    }
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;
    // The teardown order of a live stream: stop, invalidate, wait for the
    // queue, release the stream, release the queue.
    ~RawStream() {
        api_.stream_stop(stream_);
        api_.stream_invalidate(stream_);
        api_.queue_sync_f(queue_, nullptr, [](void*) {});
        api_.stream_release(stream_);
        api_.queue_release(queue_);
    }

    bool started() const { return started_; }
    FsEventStreamRef ref() const { return stream_; }
    size_t watches() const { return detail::watch_count(stream_); }
    void flush() const { api_.stream_flush_sync(stream_); }
    // Every event received so far, taking them.
    std::vector<RawEvent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

    // Waits until an event with these flags (at path, when given) has come.
    bool wait_for(FsEventStreamEventFlags flags, std::optional<std::string> path = std::nullopt) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, kPatience, [&] {
            for (const RawEvent& event : events_) {
                if (event.flags == flags && (!path || event.path == *path)) {
                    return true;
                }
            }
            return false;
        });
    }

    // Starts from a quiet stream: the first walk has ended.
    void wait_for_history() {
        ASSERT_TRUE(wait_for(kEventFlagHistoryDone));
        flush();
        take();
    }

    // Flushes and gives the paths of plain changes received.
    std::set<std::string> flushed_changes() {
        flush();
        std::set<std::string> paths;
        for (const RawEvent& event : take()) {
            if (event.flags == 0) {
                paths.insert(event.path);
            }
        }
        return paths;
    }

  private:
    static void callback(ConstFsEventStreamRef /*stream*/, void* info, size_t count, void* paths,
                         const FsEventStreamEventFlags* flags,
                         const FsEventStreamEventId* /*ids*/) {
        auto* self = static_cast<RawStream*>(info);
        const auto* const* path_array = static_cast<const char* const*>(paths);
        {
            std::lock_guard lock(self->mutex_);
            for (size_t i = 0; i < count; ++i) {
                self->events_.push_back({path_array[i], flags[i]});
            }
        }
        self->arrived_.notify_all();
    }

    FsEventsApi api_;
    FsEventStreamRef stream_ = nullptr;
    DispatchQueueRef queue_ = nullptr;
    bool started_ = false;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<RawEvent> events_;
};

TEST(FsEventStandIn, ReportsEachChangedEntryByPath) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/deep/er");
    test::make_dirs(root + "/folder/inner");
    test::make_dirs(root + "/empty");
    test::write_file(root + "/old", 10);
    test::write_file(root + "/doomed", 10);
    test::write_file(root + "/folder/inner/kept", 10);
    RawStream stream(root, {});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();

    test::write_file(root + "/new", 100);
    touch(root + "/old");
    ASSERT_EQ(::unlink((root + "/doomed").c_str()), 0);
    fs::rename(root + "/old", root + "/renamed");
    ASSERT_EQ(::rmdir((root + "/empty").c_str()), 0);
    ASSERT_EQ(::mkdir((root + "/made").c_str(), 0755), 0);
    fs::rename(root + "/folder", root + "/moved");
    test::write_file(root + "/deep/er/file", 1);
    const std::set<std::string> expected = {
        root + "/new",  root + "/old",    root + "/doomed", root + "/renamed",      root + "/empty",
        root + "/made", root + "/folder", root + "/moved",  root + "/deep/er/file",
    };
    EXPECT_EQ(stream.flushed_changes(), expected);

    // The renamed folder's watches moved with it.
    touch(root + "/moved/inner/kept");
    EXPECT_EQ(stream.flushed_changes(), std::set<std::string>{root + "/moved/inner/kept"});
}

TEST(FsEventStandIn, DeliversAfterTheLatencyWithoutAFlush) {
    const test::TempDir dir;
    RawStream stream(dir, {});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();
    test::write_file(dir / "file", 1);
    EXPECT_TRUE(stream.wait_for(0, dir / "file"));
}

TEST(FsEventStandIn, CoalescesEventsOfOnePathWithinTheLatency) {
    const test::TempDir dir;
    // Without no-defer and with a long latency only a flush delivers, so
    // everything below arrives at once.
    RawStream stream(dir, {.flags = kCreateFlagWatchRoot | kCreateFlagFileEvents, .latency = 3600});
    ASSERT_TRUE(stream.started());
    stream.flush();
    const auto history = stream.take();
    ASSERT_EQ(history, (std::vector<RawEvent>{{"", kEventFlagHistoryDone}}));

    for (int i = 0; i < 50; ++i) {
        touch(dir / "a");
        touch(dir / "b");
    }
    stream.flush();
    EXPECT_EQ(stream.take(), (std::vector<RawEvent>{{dir / "a", 0}, {dir / "b", 0}}));
}

TEST(FsEventStandIn, FoldersThatAppearAreWatchedAndFoldersThatLeaveAreNot) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root);
    test::make_dirs(dir / "outside/brought/along");
    RawStream stream(root, {});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();
    EXPECT_EQ(stream.watches(), 1u);

    test::make_dirs(root + "/a/b/c");
    fs::rename(dir / "outside/brought", root + "/brought");
    stream.flush();
    EXPECT_EQ(stream.watches(), 6u);  // root, a, b, c, brought, along
    stream.take();
    test::write_file(root + "/a/b/c/file", 1);
    test::write_file(root + "/brought/along/file", 1);
    EXPECT_EQ(stream.flushed_changes(),
              (std::set<std::string>{root + "/a/b/c/file", root + "/brought/along/file"}));

    fs::rename(root + "/a", dir / "outside/a");
    stream.flush();
    EXPECT_EQ(stream.watches(), 3u);
    stream.take();
    test::write_file(dir / "outside/a/b/file", 1);
    test::write_file(root + "/brought/file", 1);
    EXPECT_EQ(stream.flushed_changes(), std::set<std::string>{root + "/brought/file"});
}

TEST(FsEventStandIn, AChangeInANewFolderBeforeItsWatchIsReplayed) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root);
    test::make_dirs(dir / "outside/d");
    detail::InotifySettings settings;
    // The kernel cannot report these: their folder has no watch yet. (No
    // throwing here: this runs on the reader thread.)
    settings.before_watch = [](const std::string& folder) {
        if (folder.ends_with("/c") || folder.ends_with("/d")) {
            std::ofstream(folder + "/early") << "x";
        }
    };
    RawStream stream(root, {.settings = settings});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();
    test::make_dirs(root + "/a/b/c");
    fs::rename(dir / "outside/d", root + "/a/d");  // brought in from outside the root
    EXPECT_TRUE(stream.wait_for(0, root + "/a/b/c/early"));
    EXPECT_TRUE(stream.wait_for(0, root + "/a/d/early"));
}

TEST(FsEventStandIn, ReplaysWhatChangedSinceTheGivenIdThenSaysHistoryDone) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/sub");
    test::write_file(root + "/sub/before", 1);
    test::write_file(root + "/gone", 1);
    const FsEventStreamEventId since = current_event_id();
    // Made while "the scan ran": after the id, before the stream starts, and
    // while the stream adds its watches.
    test::write_file(root + "/sub/during", 1);
    ASSERT_EQ(::unlink((root + "/gone").c_str()), 0);
    detail::InotifySettings settings;
    settings.before_watch = [&](const std::string& folder) {
        if (folder.ends_with("/sub")) {
            test::write_file(folder + "/walking", 1);
        }
    };

    RawStream stream(root, {.since = since, .settings = settings});
    ASSERT_TRUE(stream.started());
    ASSERT_TRUE(stream.wait_for(kEventFlagHistoryDone));
    stream.flush();
    const auto events = stream.take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (RawEvent{"", kEventFlagHistoryDone}));
    std::set<std::string> replayed;
    for (const RawEvent& event : events) {
        if (event.flags == 0) {
            replayed.insert(event.path);
        }
    }
    EXPECT_TRUE(replayed.contains(root + "/sub/during"));
    EXPECT_TRUE(replayed.contains(root + "/sub/walking"));
    EXPECT_TRUE(replayed.contains(root + "/sub"));  // its listing changed
    EXPECT_TRUE(replayed.contains(root));           // "gone" left it

    // From an id ahead of every change nothing is replayed.
    RawStream later(root, {.since = far_future()});
    ASSERT_TRUE(later.started());
    ASSERT_TRUE(later.wait_for(kEventFlagHistoryDone));
    later.flush();
    EXPECT_EQ(later.take(), (std::vector<RawEvent>{{"", kEventFlagHistoryDone}}));
}

TEST(FsEventStandIn, AQueueOverflowIsDroppedEventsAtTheRoot) {
    const test::TempDir dir;
    test::make_dirs(dir / "a/b");
    RawStream stream(dir, {});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();
    ASSERT_TRUE(detail::inject_queue_overflow(stream.ref()));
    ASSERT_TRUE(stream.wait_for(kEventFlagMustScanSubDirs | kEventFlagKernelDropped, dir.path()));
    stream.flush();
    EXPECT_EQ(stream.watches(), 3u);  // the walk after the loss finds the same folders
}

TEST(FsEventStandIn, AFolderBeyondTheWatchLimitIsDroppedEventsForThatFolder) {
    const test::TempDir dir;
    test::make_dirs(dir / "a/below");
    RawStream stream(dir, {.settings = watch_limit(1)});
    ASSERT_TRUE(stream.started());
    ASSERT_TRUE(stream.wait_for(kEventFlagHistoryDone));
    stream.flush();
    const auto events = stream.take();
    const RawEvent dropped{dir / "a", kEventFlagMustScanSubDirs | kEventFlagUserDropped};
    EXPECT_EQ(std::count(events.begin(), events.end(), dropped), 1);
    for (const RawEvent& event : events) {
        EXPECT_EQ(event.path.find("below"), std::string::npos) << "not walked: " << event.path;
    }
    EXPECT_EQ(stream.watches(), 1u);

    // With no watch at all the stream cannot start.
    RawStream none(dir, {.settings = watch_limit(0)});
    EXPECT_FALSE(none.started());
}

TEST(FsEventStandIn, TheRootGoingAwayOrComingBackIsRootChanged) {
    const test::TempDir dir;
    const std::string root = dir / "root";
    test::make_dirs(root + "/sub");
    RawStream stream(root, {});
    ASSERT_TRUE(stream.started());
    stream.wait_for_history();

    fs::rename(root, dir / "elsewhere");
    ASSERT_TRUE(stream.wait_for(kEventFlagRootChanged, root));
    stream.flush();
    EXPECT_EQ(stream.watches(), 0u);
    stream.take();
    // Changes in the moved folder are no longer under the root's path.
    test::write_file(dir / "elsewhere/sub/file", 1);
    EXPECT_TRUE(stream.flushed_changes().empty());

    test::make_dirs(root);
    ASSERT_TRUE(stream.wait_for(kEventFlagRootChanged, root));
    stream.flush();
    EXPECT_EQ(stream.watches(), 1u);
    stream.take();
    test::write_file(root + "/back", 1);
    EXPECT_EQ(stream.flushed_changes(), std::set<std::string>{root + "/back"});

    ASSERT_EQ(::unlink((root + "/back").c_str()), 0);
    ASSERT_EQ(::rmdir(root.c_str()), 0);
    ASSERT_TRUE(stream.wait_for(kEventFlagRootChanged, root));
    stream.flush();
    EXPECT_EQ(stream.watches(), 0u);

    // A folder above the root renamed moves the root as well.
    const std::string nested = dir / "up/root";
    test::make_dirs(nested);
    RawStream below(nested, {});
    ASSERT_TRUE(below.started());
    below.wait_for_history();
    fs::rename(dir / "up", dir / "down");
    EXPECT_TRUE(below.wait_for(kEventFlagRootChanged, nested));
}

// A table that records its calls, to check the order of start and teardown.
struct RecordingTable {
    static inline std::vector<std::string> calls;
    static inline bool start_succeeds = true;
    static inline bool string_fails = false;
    static inline int object;  // every reference handed out points here

    static FsEventsApi table() {
        FsEventsApi api;
        api.stream_create = [](CfAllocatorRef, FsEventStreamCallback, FsEventStreamContext* context,
                               CfArrayRef, FsEventStreamEventId since, double latency,
                               uint32_t flags) -> FsEventStreamRef {
            calls.push_back(fmt::format("create since={} latency={} flags={:#x} info={}", since,
                                        latency, flags, context->info != nullptr));
            return &object;
        };
        api.stream_set_dispatch_queue = [](FsEventStreamRef, DispatchQueueRef) {
            calls.emplace_back("set queue");
        };
        api.stream_start = [](FsEventStreamRef) -> CfBoolean {
            calls.emplace_back("start");
            return start_succeeds ? 1 : 0;
        };
        api.stream_stop = [](FsEventStreamRef) { calls.emplace_back("stop"); };
        api.stream_flush_sync = [](FsEventStreamRef) { calls.emplace_back("flush"); };
        api.stream_invalidate = [](FsEventStreamRef) { calls.emplace_back("invalidate"); };
        api.stream_release = [](FsEventStreamRef) { calls.emplace_back("release stream"); };
        api.string_create_with_file_system_representation = [](CfAllocatorRef,
                                                               const char* path) -> CfStringRef {
            calls.push_back(std::string("string ") + path);
            return string_fails ? nullptr : &object;
        };
        api.array_create = [](CfAllocatorRef, const void**, CfIndex count,
                              const CfArrayCallBacks*) -> CfArrayRef {
            calls.push_back("array of " + std::to_string(count));
            return &object;
        };
        api.release = [](CfTypeRef) { calls.emplace_back("release object"); };
        api.queue_create = [](const char* label, DispatchQueueAttr) -> DispatchQueueRef {
            calls.push_back(std::string("queue ") + label);
            return &object;
        };
        api.queue_sync_f = [](DispatchQueueRef, void* context, DispatchFunction work) {
            calls.emplace_back("sync");
            work(context);
        };
        api.queue_release = [](DispatchQueueRef) { calls.emplace_back("release queue"); };
        return api;
    }
};

TEST(FsEventStream, StartsAndTearsDownInTheOneSafeOrder) {
    const FsEventsApi api = RecordingTable::table();
    const std::vector<std::string> start_calls = {
        "string /root",   "array of 1",
        "release object", "create since=42 latency=0.05 flags=0x16 info=true",
        "release object", "queue bramwex.fsevents",
        "set queue",      "start",
    };
    const std::vector<std::string> teardown_calls = {
        "stop", "invalidate", "sync", "release stream", "release queue",
    };

    RecordingTable::calls.clear();
    auto stream = FsEventStream::start(api, "/root", 42, BatchSender());
    ASSERT_TRUE(stream);
    EXPECT_EQ(RecordingTable::calls, start_calls);
    RecordingTable::calls.clear();
    stream->flush_sync();
    stream->close();
    stream->close();
    stream.reset();
    std::vector<std::string> expected = {"flush"};
    expected.insert(expected.end(), teardown_calls.begin(), teardown_calls.end());
    EXPECT_EQ(RecordingTable::calls, expected);

    // A start that fails is torn down the same way.
    RecordingTable::calls.clear();
    RecordingTable::start_succeeds = false;
    EXPECT_FALSE(FsEventStream::start(api, "/root", 42, BatchSender()));
    RecordingTable::start_succeeds = true;
    expected = start_calls;
    expected.insert(expected.end(), teardown_calls.begin(), teardown_calls.end());
    EXPECT_EQ(RecordingTable::calls, expected);

    // Nothing was made when the path string cannot be.
    RecordingTable::calls.clear();
    RecordingTable::string_fails = true;
    EXPECT_FALSE(FsEventStream::start(api, "/root", 42, BatchSender()));
    RecordingTable::string_fails = false;
    EXPECT_EQ(RecordingTable::calls, std::vector<std::string>{"string /root"});
}

TEST(FsEventStream, StartsThroughTheTableAndClosesIdempotently) {
    const test::TempDir dir;
    const FsEventsApi api = detail::inotify_api_unprobed();
    const size_t descriptors = open_descriptors();
    const size_t threads = threads_running();
    auto [sender, receiver] = batch_channel();
    auto stream = FsEventStream::start(api, dir.path(), far_future(), sender);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->running());
    EXPECT_EQ(threads_running(), threads + 1);
    EXPECT_EQ(open_descriptors(), descriptors + 2);  // inotify and its wake-up
    stream->flush_sync();
    test::write_file(dir / "file", 1);
    stream->flush_sync();
    FsEventBatch all;
    while (auto batch = receiver.try_receive()) {
        all.insert(all.end(), batch->begin(), batch->end());
    }
    const FsEventBatch expected = {{FsEventKind::HistoryDone, Reason::Dropped, {}},
                                   {FsEventKind::Changed, Reason::Dropped, dir / "file"}};
    EXPECT_EQ(all, expected);

    FsEventStream moved = std::move(*stream);
    moved.close();
    moved.close();
    EXPECT_FALSE(moved.running());
    moved.flush_sync();  // a closed stream flushes nothing and returns
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(threads_running(), threads);

    // Streams that fail to start are torn down the same way, without leaks.
    EXPECT_FALSE(FsEventStream::start(api, std::string("/tmp\0x", 6), 1, sender));
    EXPECT_FALSE(FsEventStream::start(api, dir / "missing", 1, sender));
    const auto old = detail::set_inotify_settings(unavailable());
    EXPECT_FALSE(FsEventStream::start(api, dir.path(), 1, sender));
    detail::set_inotify_settings(old);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(threads_running(), threads);
}

}  // namespace
}  // namespace bramwex::core::sys
