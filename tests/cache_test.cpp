#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// --- Cache folder and key ----------------------------------------------------

TEST(CacheDir, VariableThenHomeThenAnError) {
    {
        const test::ScopedEnv dir("BRAMWEX_CACHE_DIR", "/somewhere/cache");
        const test::ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(cache_dir(), "/somewhere/cache");
    }
    for (const char* home_value : {"/home/u", "/home/u/"}) {
        const test::ScopedEnv dir("BRAMWEX_CACHE_DIR", "");
        const test::ScopedEnv home("HOME", home_value);
        EXPECT_EQ(cache_dir(), "/home/u/Library/Caches/bramwex");
    }
    for (const char* home_value : {static_cast<const char*>(nullptr), ""}) {
        const test::ScopedEnv dir("BRAMWEX_CACHE_DIR", nullptr);
        const test::ScopedEnv home("HOME", home_value);
        const Result<std::string> found = cache_dir();
        ASSERT_FALSE(found.has_value());
        EXPECT_EQ(found.error().to_string(), "HOME is not set");
    }
}

TEST(CacheDir, CreatesMissingParentsPrivately) {
    const TempDir temp;
    const std::string dir = temp / "a/b/c/";
    ASSERT_TRUE(create_cache_dir(dir).has_value());
    for (const char* made : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(test::lstat_of(temp / made).st_mode & 07777, 0700u) << made;
    }
    EXPECT_TRUE(create_cache_dir(dir).has_value());  // already there
    write_bytes(temp / "file", "x");
    EXPECT_EQ(create_cache_dir(temp / "file").error().code, EEXIST);
    EXPECT_EQ(create_cache_dir(temp / "file/below").error().code, ENOTDIR);
}

TEST(CacheKey, TextOfVolumeAndPathHash) {
    EXPECT_EQ(fnv1a_64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(fnv1a_64("\xFF"), 0xaf64724c8602eb6eull);  // bytes above 0x7F are unsigned
    EXPECT_EQ(cache_key_text(*sys::parse_uuid_text("00112233-4455-6677-8899-AABBCCDDEEFF"), 0x1a),
              "00112233445566778899aabbccddeeff-000000000000001a");
    for (const char* bad :
         {"", "0f1e2d3c4b5a69788796a5b4c3d2e1f0", "ABCD-1234",
          "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg", "0f1e2d3c-4b5a-6978-8796+a5b4c3d2e1f0",
          "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0 "}) {
        EXPECT_FALSE(sys::parse_uuid_text(bad).has_value()) << bad;
    }
}

TEST(CacheKey, SameFolderByAnyPathHasOneKey) {
    const TempDir temp;
    test::make_dirs(temp / "real/inner");
    ASSERT_EQ(::symlink("real", (temp / "link").c_str()), 0);
    const Result<CacheKey> direct = cache_key_for_path(temp / "real/inner");
    const Result<CacheKey> linked = cache_key_for_path(temp / "link/./inner/");
    ASSERT_TRUE(direct && linked);
    EXPECT_EQ(linked->canonical_path, canonical(temp / "real/inner"));
    EXPECT_EQ(linked->text, direct->text);
    EXPECT_EQ(direct->text.substr(33), fmt::format("{:016x}", fnv1a_64(direct->canonical_path)));
    EXPECT_NE(cache_key_for_path(temp / "real")->text, direct->text);
    EXPECT_EQ(cache_key_for_path(temp / "nothing").error().code, ENOENT);
}

// --- Cache files -------------------------------------------------------------------

// A scanned folder and its cache folder, side by side in one temporary folder.
class CachedScanTest : public testing::Test {
  protected:
    CachedScanTest() { test::make_dirs(folder()); }

    std::string folder() const { return temp_ / "scanned"; }
    std::string cache() const { return temp_ / "home/Library/Caches/bramwex"; }
    std::string scan_file() const {
        return join_path(cache(), cache_key_for_path(folder())->scan_file_name());
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

TEST_F(CachedScanTest, SavedScanLoadsBackAndOpensInPlace) {
    const Tree tree = sample(true);
    ASSERT_TRUE(save_cached_scan(cache(), folder(), tree, true).has_value());
    EXPECT_EQ(test::lstat_of(cache()).st_mode & 07777, 0700u);

    const Result<std::optional<LoadedTree>> loaded = load_cached_tree(cache(), folder() + "/");
    ASSERT_TRUE(loaded.has_value() && loaded->has_value());
    const LoadedTree& got = **loaded;
    EXPECT_EQ(got.tree.folders, tree.folders);
    EXPECT_EQ(got.tree.files, tree.files);
    EXPECT_EQ(got.tree.reclaimable_sizes, tree.reclaimable_sizes);
    EXPECT_TRUE(got.tree.stopped);
    EXPECT_TRUE(got.has_reclaimable);
    const struct stat info = test::lstat_of(scan_file());
    EXPECT_EQ(got.modified,
              (FileTime{info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec)}));

    const Result<std::optional<CachedScan>> opened = open_cached_scan(cache(), folder());
    ASSERT_TRUE(opened.has_value() && opened->has_value());
    EXPECT_EQ((*opened)->asked_path, folder());
    EXPECT_EQ((*opened)->key.canonical_path, canonical(folder()));
    EXPECT_TRUE(open_stored_tree(**opened).has_value());
}

// No file, a damaged one or another folder's scan under the same key.
TEST_F(CachedScanTest, NoFileOrAnUnusableFileIsNothing) {
    EXPECT_FALSE(open_cached_scan(cache(), folder()).value().has_value());
    EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
    test::make_dirs(cache());
    const std::string path = scan_file();
    const AlignedBuffer other = serialize_tree(canonical(folder()) + "2", sample(), false).value();
    const std::string other_bytes(reinterpret_cast<const char*>(other.data()), other.size());
    for (const std::string_view bytes :
         {std::string_view(), std::string_view("BRWX\7 garbage"), std::string_view(other_bytes)}) {
        write_bytes(path, bytes);
        const auto opened = open_cached_scan(cache(), folder());
        ASSERT_TRUE(opened && *opened);
        EXPECT_EQ((*opened)->bytes().size(), bytes.size());
        EXPECT_FALSE(open_stored_tree(**opened).has_value());
        EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
        EXPECT_EQ(read_file(path), bytes);  // left for the next save to replace
    }
}

TEST_F(CachedScanTest, ErrorsOtherThanAMissingFileAreReturned) {
    const auto missing_folder = load_cached_tree(cache(), temp_ / "absent");
    ASSERT_FALSE(missing_folder.has_value());
    EXPECT_EQ(missing_folder.error().code, ENOENT);

    write_bytes(temp_ / "plain", "x");  // a cache "folder" that is a file
    const auto not_a_dir = open_cached_scan(temp_ / "plain", folder());
    ASSERT_FALSE(not_a_dir.has_value());
    EXPECT_EQ(not_a_dir.error().code, ENOTDIR);
    const auto cannot_create = save_cached_scan(temp_ / "plain/cache", folder(), sample(), false);
    ASSERT_FALSE(cannot_create.has_value());
    EXPECT_EQ(cannot_create.error().code, ENOTDIR);
}

// --- Scan files at a chosen path ----------------------------------------------------

TEST_F(CachedScanTest, ScanFileRoundTripWithTheCanonicalRoot) {
    ASSERT_EQ(::symlink("scanned", (temp_ / "via").c_str()), 0);
    TreeSketch sketch(temp_ / "via");
    sketch.folder(0, "child", 7);
    Tree tree = sketch.stopped().build();
    const std::string path = temp_ / "tree.scan";
    ASSERT_TRUE(save_scan_file(tree, path).has_value());

    const Result<Tree> loaded = load_scan_file(path);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->name_at(0), canonical(folder()));
    EXPECT_EQ(loaded->folders, tree.folders);
    EXPECT_TRUE(loaded->stopped);
    EXPECT_TRUE(loaded->reclaimable_sizes.empty());
    EXPECT_NE(loaded->generation, tree.generation);

    TreeSketch gone(temp_ / "vanished");
    EXPECT_EQ(save_scan_file(gone.build(), path).error().code, ENOENT);
    EXPECT_EQ(save_scan_file(tree, temp_ / "no/such/dir/tree.scan").error().code, ENOENT);
}

TEST_F(CachedScanTest, LoadingSomethingElseIsInvalidData) {
    EXPECT_EQ(load_scan_file(temp_ / "absent.scan").error().code, ENOENT);
    write_bytes(temp_ / "junk.scan", std::string(200, 'x'));
    const Result<Tree> junk = load_scan_file(temp_ / "junk.scan");
    ASSERT_FALSE(junk.has_value());
    EXPECT_TRUE(is_not_a_saved_scan(junk.error()));
    EXPECT_EQ(junk.error().to_string(), "not a scan saved by this version of bramwex");
}

// Only a regular file is read as a saved scan or picks: a symbolic link (even
// to a good scan), a FIFO (whose open would wait for a writer) or a folder at
// the name is no saved scan and no picks, as a damaged file is.
TEST_F(CachedScanTest, OnlyARegularFileIsRead) {
    ASSERT_TRUE(save_cached_scan(cache(), folder(), sample(), false).has_value());
    ASSERT_TRUE(save_picks(cache(), folder(), std::vector<std::string>{"a"}).has_value());
    const std::string picks = join_path(cache(), cache_key_for_path(folder())->picks_file_name());
    ASSERT_EQ(::rename(scan_file().c_str(), (temp_ / "good.scan").c_str()), 0);
    ASSERT_EQ(::rename(picks.c_str(), (temp_ / "good.picks").c_str()), 0);
    for (const auto& make : std::vector<std::function<int(const std::string&)>>{
             [&](const std::string& at) {
                 const std::string good = temp_ / (at == picks ? "good.picks" : "good.scan");
                 return ::symlink(good.c_str(), at.c_str());
             },
             [](const std::string& at) { return ::mkfifo(at.c_str(), 0600); },
             [](const std::string& at) { return ::mkdir(at.c_str(), 0700); }}) {
        ASSERT_EQ(make(scan_file()), 0);
        ASSERT_EQ(make(picks), 0);
        EXPECT_FALSE(open_cached_scan(cache(), folder()).value().has_value());
        EXPECT_FALSE(load_cached_tree(cache(), folder()).value().has_value());
        EXPECT_TRUE(is_not_a_saved_scan(load_scan_file(scan_file()).error()));
        EXPECT_TRUE(load_picks(cache(), folder()).value().empty());
        std::filesystem::remove(scan_file());
        std::filesystem::remove(picks);
    }
}

// Temporary files of saves killed before their rename go when the cache
// folder is next written, once their process is gone and they are a minute
// old; a running writer's, a fresh one and other files stay.
TEST_F(CachedScanTest, SavesRemoveStaleTemporaries) {
    const std::string key = cache_key_for_path(folder())->text;
    std::ifstream pid_max_file("/proc/sys/kernel/pid_max");
    long pid_max = 0;
    pid_max_file >> pid_max;
    const std::string gone = std::to_string(pid_max);  // no process has this id
    const std::string alive = std::to_string(::getpid());
    struct Leftover {
        std::string name;
        bool old;
        bool removed;
    };
    const std::vector<Leftover> leftovers = {
        {key + ".scan." + gone + ".tmp", true, true},
        {key + ".picks." + gone + ".0123456789abcdef.tmp", true, true},
        {key + ".scan." + gone + ".0123456789abcdef.tmp", false, false},
        {key + ".scan." + alive + ".tmp", true, false},
        {"notes." + gone + ".tmp", true, false},
    };
    for (const bool picks : {false, true}) {
        test::make_dirs(cache());
        for (const Leftover& leftover : leftovers) {
            const std::string path = join_path(cache(), leftover.name);
            write_bytes(path, "partial");
            const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 61, 0}};
            ASSERT_EQ(leftover.old ? ::utimensat(AT_FDCWD, path.c_str(), times, 0) : 0, 0);
        }
        const auto saved = picks ? save_picks(cache(), folder(), {})
                                 : save_cached_scan(cache(), folder(), sample(), false);
        ASSERT_TRUE(saved.has_value());
        for (const Leftover& leftover : leftovers) {
            EXPECT_EQ(::access(join_path(cache(), leftover.name).c_str(), F_OK) != 0,
                      leftover.removed)
                << leftover.name << (picks ? " (picks)" : " (scan)");
        }
        std::filesystem::remove_all(cache());
    }
}

// --- Picks -------------------------------------------------------------------------

TEST_F(CachedScanTest, PicksAreNulSeparatedNames) {
    EXPECT_TRUE(load_picks(cache(), folder()).value().empty());  // no file
    const std::vector<std::string> picks = {"a", "b/c\xFF", "a"};
    ASSERT_TRUE(save_picks(cache(), folder(), picks).has_value());
    const std::string path = join_path(cache(), cache_key_for_path(folder())->picks_file_name());
    EXPECT_EQ(read_file(path), std::string("a\0b/c\xFF\0a\0", 9));
    EXPECT_EQ(load_picks(cache(), folder()).value(), picks);
    ASSERT_TRUE(save_picks(cache(), folder(), {}).has_value());
    EXPECT_EQ(read_file(path), "");

    // Empty names and a missing last NUL are read all the same.
    write_bytes(path, std::string_view("\0a\0\0b\0last", 10));
    EXPECT_EQ(load_picks(cache(), folder()).value(), (std::vector<std::string>{"a", "b", "last"}));
    EXPECT_EQ(load_picks(cache(), temp_ / "absent").error().code, ENOENT);
}

}  // namespace
}  // namespace bramwex::core
