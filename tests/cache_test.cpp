// Files of the cache: the folder, the keys, saved scans and picks, and the
// atomic replacement every save goes through.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/base/atomic_write.hpp"
#include "core/base/read_whole_file.hpp"
#include "core/store/check_scan_file.hpp"
#include "core/store/serialize_tree.hpp"
#include "core/store/store.hpp"
#include "tests/temp_dir.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::TempDir;
using test::TreeSketch;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string canonical(const std::string& path) {
    return *canonical_path(path);
}

TEST(CacheDir, VariableThenHomeThenAnError) {
    const char* no = nullptr;
    for (const auto& [dir, home, want] :
         {std::tuple("/somewhere/cache", "/home/u", "/somewhere/cache"),
          {"", "/home/u/", "/home/u/Library/Caches/bramwex"},
          {no, "/home/u", "/home/u/Library/Caches/bramwex"},
          {no, no, "HOME is not set"},
          {"", "", "HOME is not set"}}) {
        const test::ScopedEnv dir_env("BRAMWEX_CACHE_DIR", dir), home_env("HOME", home);
        const Result<std::string> got = cache_dir();
        EXPECT_EQ(got ? *got : got.error().to_string(), want);
    }
}

TEST(CacheKey, OneTextOfVolumeAndPathHashForAFolderByAnyPath) {
    EXPECT_EQ(fnv1a_64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(fnv1a_64("\xFF"), 0xaf64724c8602eb6eull);  // bytes above 0x7F are unsigned
    EXPECT_EQ(cache_key_text(*sys::parse_uuid_text("00112233-4455-6677-8899-AABBCCDDEEFF"), 0x1a),
              "00112233445566778899aabbccddeeff-000000000000001a");
    const TempDir temp;
    test::make_dirs(temp / "real/inner");
    ASSERT_EQ(::symlink("real", (temp / "link").c_str()), 0);
    const Result<CacheKey> direct = cache_key_for_path(temp / "real/inner");
    const Result<CacheKey> linked = cache_key_for_path(temp / "link/./inner/");
    ASSERT_TRUE(direct && linked);
    EXPECT_EQ(linked->canonical_path, canonical(temp / "real/inner"));
    EXPECT_EQ(linked->text, direct->text);
    EXPECT_EQ(direct->text.substr(33), fmt::format("{:016x}", fnv1a_64(direct->canonical_path)));
    EXPECT_EQ(cache_key_for_path(temp / "nothing").error().code, ENOENT);
}

// A scanned folder and its cache folder, side by side in one temporary folder.
class CachedScanTest : public testing::Test {
  protected:
    CachedScanTest() { test::make_dirs(folder()); }

    std::string folder() const { return temp_ / "scanned"; }
    std::string cache() const { return temp_ / "home/Library/Caches/bramwex"; }
    std::string scan_file() const {
        return join_path(cache(), cache_key_for_path(folder())->scan_file_name());
    }
    std::string picks_file() const {
        return join_path(cache(), cache_key_for_path(folder())->picks_file_name());
    }

    Tree sample(bool stopped = false) const {
        TreeSketch sketch(canonical(folder()), 10);
        const uint32_t a = sketch.folder(0, "a\xFF", 2000);
        sketch.folder(a, "deep", 30, kFlagUnreadable, 13);
        sketch.file(a, "big", 1500).reclaimable({1, 2, 3});
        return sketch.stopped(stopped).build();
    }

    TempDir temp_;
};

TEST_F(CachedScanTest, SavedScanLoadsBackInPrivateFolders) {
    const Tree tree = sample(true);
    ASSERT_TRUE(save_cached_scan(cache(), folder(), tree, true).has_value());
    for (const char* made : {"home", "home/Library", "home/Library/Caches/bramwex"}) {
        EXPECT_EQ(test::lstat_of(temp_ / made).st_mode & 07777, 0700u) << made;
    }

    const Result<std::optional<LoadedTree>> loaded = load_cached_tree(cache(), folder() + "/");
    ASSERT_TRUE(loaded.has_value() && loaded->has_value());
    const LoadedTree& got = **loaded;
    EXPECT_EQ(got.tree.folders, tree.folders);  // the whole round trip is the store tests'
    EXPECT_TRUE(got.tree.stopped && got.has_reclaimable);
    const struct stat info = test::lstat_of(scan_file());
    EXPECT_EQ(got.modified,
              (FileTime{info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec)}));
}

// No file, a damaged one or another folder's scan under the same key is no
// saved scan (a damaged file is left for the next save to replace).
TEST_F(CachedScanTest, OnlyASoundScanOfTheFolderIsRead) {
    EXPECT_FALSE(open_cached_scan(cache(), folder()).value().has_value());
    EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
    ASSERT_TRUE(save_cached_scan(cache(), folder(), sample(), false).has_value());
    const std::string scan = scan_file();
    const AlignedBuffer other = serialize_tree(canonical(folder()) + "2", sample(), false).value();
    for (const std::string& bytes :
         {std::string(), std::string("BRWX\7 garbage"),
          std::string(reinterpret_cast<const char*>(other.data()), other.size())}) {
        write_bytes(scan, bytes);
        const auto opened = open_cached_scan(cache(), folder());
        ASSERT_TRUE(opened && *opened);
        EXPECT_EQ((*opened)->bytes().size(), bytes.size());
        EXPECT_FALSE(open_stored_tree(**opened).has_value());
        EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
        EXPECT_EQ(read_file(scan), bytes);
    }
}

// Scans and picks are read through symbolic links; a folder at the name is
// an error of its own; a FIFO (whose open or read would wait for a writer)
// and a dangling link are no file, and reading them never blocks.
TEST_F(CachedScanTest, OnlyARegularFileIsRead) {
    ASSERT_TRUE(save_cached_scan(cache(), folder(), sample(), false).has_value());
    ASSERT_TRUE(save_picks(cache(), folder(), std::vector<std::string>{"a"}).has_value());
    const std::string scan = scan_file(), picks = picks_file(), good = temp_ / "good";
    ASSERT_EQ(::rename(scan.c_str(), (good + ".scan").c_str()), 0);
    ASSERT_EQ(::rename(picks.c_str(), (good + ".picks").c_str()), 0);
    const auto link_to = [&](std::string target) {
        return [target](const std::string& at) {
            return ::symlink((target + at.substr(at.rfind('.'))).c_str(), at.c_str());
        };
    };
    const auto make_both = [&](const std::function<int(const std::string&)>& make) {
        std::filesystem::remove_all(scan);
        std::filesystem::remove_all(picks);
        return make(scan) | make(picks);
    };

    ASSERT_EQ(make_both(link_to(good)), 0);
    const auto loaded = load_cached_tree(cache(), folder());
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ((*loaded)->tree.folders, sample().folders);
    EXPECT_EQ(load_scan_file(scan).value().folders, sample().folders);
    EXPECT_EQ(load_picks(cache(), folder()).value(), std::vector<std::string>{"a"});

    ASSERT_EQ(make_both([](const std::string& at) { return ::mkdir(at.c_str(), 0700); }), 0);
    EXPECT_EQ(open_cached_scan(cache(), folder()).error().code, EISDIR);
    EXPECT_EQ(open_cached_scan(cache(), folder()).error().path, scan);
    EXPECT_EQ(load_cached_tree(cache(), folder()).error().code, EISDIR);
    EXPECT_EQ(load_scan_file(scan).error().code, EISDIR);
    EXPECT_EQ(load_picks(cache(), folder()).error().code, EISDIR);

    for (const auto& make : std::vector<std::function<int(const std::string&)>>{
             [](const std::string& at) { return ::mkfifo(at.c_str(), 0600); },
             link_to(temp_ / "missing")}) {
        ASSERT_EQ(make_both(make), 0);
        EXPECT_FALSE(open_cached_scan(cache(), folder()).value().has_value());
        EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
        EXPECT_TRUE(load_picks(cache(), folder()).value().empty());
    }
    EXPECT_EQ(load_scan_file(scan).error().code, ENOENT);  // the dangling link
    ASSERT_EQ(make_both([](const std::string& at) { return ::mkfifo(at.c_str(), 0600); }), 0);
    EXPECT_TRUE(is_not_a_saved_scan(load_scan_file(scan).error()));
}

// A scan file at a chosen path records the canonical root (the module's
// tests load it back).
TEST_F(CachedScanTest, ScanFileRecordsTheCanonicalRoot) {
    ASSERT_EQ(::symlink("scanned", (temp_ / "via").c_str()), 0);
    const std::string path = temp_ / "tree.scan";
    ASSERT_TRUE(save_scan_file(TreeSketch(temp_ / "via").build(), path).has_value());
    EXPECT_EQ(load_scan_file(path).value().name_at(0), canonical(folder()));
}

// Temporary files of saves killed before their rename go when the cache
// folder is next written, once their process is gone and they are a minute
// old; a running writer's, a fresh one and other files stay.
TEST_F(CachedScanTest, SavesRemoveStaleTemporaries) {
    const std::string key = cache_key_for_path(folder())->text;
    long pid_max = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
    const std::string gone = std::to_string(pid_max);  // no process has this id
    const std::string alive = std::to_string(::getpid());
    const struct {
        std::string name;
        bool old, removed;
    } leftovers[] = {
        {key + ".scan." + gone + ".tmp", true, true},
        {key + ".picks." + gone + ".0123456789abcdef.tmp", true, true},
        {key + ".scan." + gone + ".0123456789abcdef.tmp", false, false},
        {key + ".scan." + alive + ".tmp", true, false},
        {"notes." + gone + ".tmp", true, false},
    };
    for (const bool picks : {false, true}) {
        test::make_dirs(cache());
        for (const auto& leftover : leftovers) {
            const std::string path = join_path(cache(), leftover.name);
            write_bytes(path, "partial");
            const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 61, 0}};
            ASSERT_EQ(leftover.old ? ::utimensat(AT_FDCWD, path.c_str(), times, 0) : 0, 0);
        }
        ASSERT_TRUE(picks ? save_picks(cache(), folder(), {}).has_value()
                          : save_cached_scan(cache(), folder(), sample(), false).has_value());
        for (const auto& leftover : leftovers) {
            EXPECT_EQ(::access(join_path(cache(), leftover.name).c_str(), F_OK) != 0,
                      leftover.removed)
                << leftover.name << (picks ? " (picks)" : " (scan)");
        }
        std::filesystem::remove_all(cache());
    }
}

TEST_F(CachedScanTest, PicksAreNulSeparatedNames) {
    EXPECT_TRUE(load_picks(cache(), folder()).value().empty());  // no file
    const std::vector<std::string> picks = {"a", "b/c\xFF", "a"};
    ASSERT_TRUE(save_picks(cache(), folder(), picks).has_value());
    EXPECT_EQ(read_file(picks_file()), std::string("a\0b/c\xFF\0a\0", 9));
    EXPECT_EQ(load_picks(cache(), folder()).value(), picks);
    // Empty names and a missing last NUL are read all the same.
    write_bytes(picks_file(), std::string_view("\0a\0\0b\0last", 10));
    EXPECT_EQ(load_picks(cache(), folder()).value(), (std::vector<std::string>{"a", "b", "last"}));
}

// Two processes and, in this one, two threads keep replacing one file with
// two scans of different sizes while it is read: every read is one of them,
// and no temporary is left behind. The file is private.
TEST(StoreAtomicWrite, ConcurrentSaversNeverLeaveATornFile) {
    const TempDir temp;
    const std::string path = temp / "shared.scan";
    test::TreeSketch small("/small");
    small.folder(0, "x", 1);
    test::TreeSketch large("/large");
    for (uint32_t i = 0; i < 20000; ++i) {
        large.folder(i / 4, "folder" + std::to_string(i), i);
    }
    const AlignedBuffer versions[2] = {serialize_tree("/small", small.build(), false).value(),
                                       serialize_tree("/large", large.build(), false).value()};
    ASSERT_TRUE(write_atomically(path, versions[0].bytes()).has_value());
    const auto save_rounds = [&](int first) {
        bool ok = true;
        for (int round = 0; round < 60; ++round) {
            ok &= write_atomically(path, versions[(first + round) % 2].bytes()).has_value();
        }
        return ok;
    };
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(save_rounds(child) ? 0 : 1);
        }
        children.push_back(pid);
    }
    // The children are forked before this process starts any thread.
    std::atomic<bool> done = false;
    int reads = 0, torn = 0;
    std::thread reader([&] {
        while (!done) {
            const auto read = read_whole_file(path);
            ++reads;
            torn += !read || !*read || !check_scan_file((*read)->bytes()).has_value();
        }
    });
    std::atomic<bool> threads_ok = true;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread) {
        threads.emplace_back([&, thread] { threads_ok = save_rounds(thread) && threads_ok; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const pid_t child : children) {
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    done = true;
    reader.join();
    EXPECT_TRUE(threads_ok);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 1);
    EXPECT_EQ(test::lstat_of(path).st_mode & 0777, 0600u);
    EXPECT_EQ(write_atomically(temp / "missing/out", versions[0].bytes()).error().code, ENOENT);
}

}  // namespace
}  // namespace bramwex::core
