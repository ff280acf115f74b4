#include "core/scan/scan.hpp"
#include "core/scan/subtree_walk.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/sys/dirread.hpp"
#include "core/tree/records.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core {
namespace {

namespace fs = std::filesystem;
using test::allocated_of;
using test::lstat_of;
using test::make_dirs;
using test::TempDir;
using test::write_file;

constexpr FolderId kRoot{0, 0};

// A link opened as a folder without following it: Linux says ENOTDIR when
// O_DIRECTORY is given, other systems ELOOP.
const auto kLinkNotFollowed = testing::AnyOf(ENOTDIR, ELOOP);

// What du reports for the folder, in bytes: the expected total of a scan.
uint64_t du_total(const std::string& root) {
    const std::string command = "du -s -B1 -- '" + root + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    unsigned long long bytes = 0;
    if (!pipe || std::fscanf(pipe.get(), "%llu", &bytes) != 1) {
        ADD_FAILURE() << "no size from: " << command;
    }
    return bytes;
}

// A folder's own allocation plus that of every non-folder directly inside.
uint64_t direct_own(const std::string& folder) {
    uint64_t own = allocated_of(folder);
    for (const auto& entry : fs::directory_iterator(folder)) {
        const struct stat st = lstat_of(entry.path());
        if (!S_ISDIR(st.st_mode)) {
            own += static_cast<uint64_t>(st.st_blocks) * 512;
        }
    }
    return own;
}

// Entries of a /proc/self folder: open descriptors, or threads of the process.
long entries_of(const char* folder) {
    return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

// Relative path ("" for the root) -> folder index.
std::map<std::string, uint32_t> folders_by_path(const Tree& tree) {
    std::map<std::string, uint32_t> by_path;
    for (uint32_t k = 0; k < tree.record_count(); ++k) {
        by_path.emplace(tree.relative_path(k), k);
    }
    return by_path;
}

// The shape every finished scan has.
void expect_well_formed(const Tree& tree, const std::string& root_path) {
    ASSERT_FALSE(tree.folders.empty());
    EXPECT_EQ(tree.folders[0].parent, kNoParent);
    EXPECT_EQ(tree.names->at(0), root_path);
    for (uint32_t k = 1; k < tree.record_count(); ++k) {
        EXPECT_LT(tree.folders[k].parent, k) << "folder " << k;
        EXPECT_NE(tree.folders[k].name_id, 0u) << "folder " << k;
        EXPECT_LT(tree.folders[k].name_id, tree.names->size()) << "folder " << k;
    }
    for (const auto& [key, folder] : tree.folder_index) {
        EXPECT_LT(folder, tree.record_count()) << "hard link " << key.file_id;
    }
    for (const FileRecord& file : tree.files) {
        EXPECT_LT(file.folder, tree.record_count());
        EXPECT_GT(file.size, 0u);
    }
}

// ---------------------------------------------------------------------------
// Every scan runs on one thread and on many, with either reader.

struct ScanConfig {
    std::optional<uint32_t> threads;
    bool bulk = false;
};

std::string config_name(const testing::TestParamInfo<ScanConfig>& info) {
    const std::string threads =
        info.param.threads ? "t" + std::to_string(*info.param.threads) : "auto";
    return threads + (info.param.bulk ? "_bulk" : "_portable");
}

const auto kConfigs =
    testing::Values(ScanConfig{1, false}, ScanConfig{8, false}, ScanConfig{std::nullopt, false},
                    ScanConfig{1, true}, ScanConfig{8, true}, ScanConfig{std::nullopt, true});

class ScanTest : public testing::TestWithParam<ScanConfig> {
  protected:
    Result<Tree> scan(std::string_view path, ScanOptions options = {}) const {
        options.threads = GetParam().threads;
        if (GetParam().bulk) {
            const sys::ReadMode mode{true, options.reclaimable ? sys::ReclaimableMode::Private
                                                               : sys::ReclaimableMode::Off};
            return detail::scan_tree_with_read_mode(path, options, mode);
        }
        if (options.reader == Reader::Auto) {
            options.reader = Reader::Portable;
        }
        return scan_tree(path, options);
    }
    Tree scan_ok(std::string_view path, ScanOptions options = {}) const {
        auto tree = scan(path, std::move(options));
        if (!tree) {
            ADD_FAILURE() << "scan of " << path << " failed: " << tree.error().to_string();
            return {};
        }
        return std::move(*tree);
    }
};

INSTANTIATE_TEST_SUITE_P(Configs, ScanTest, kConfigs, config_name);

// A mixed tree: nested and empty folders, files of many sizes, an empty and a
// sparse file, hard links inside one folder and across folders, links and a fifo.
void build_mixed_tree(const TempDir& dir) {
    write_file(dir / "root.bin", 5000);
    write_file(dir / "empty.txt", 0);
    write_file(dir / "src/main.c", 1);
    write_file(dir / "src/lib/util.c", 70000);
    write_file(dir / "src/lib/deep/er/est.h", 4096);
    write_file(dir / "docs/a/b/c/readme", 300000);
    make_dirs(dir / "empty/nothing/here");
    make_dirs(dir / "b/build");
    write_file(dir / "a/build/out.o", 9000);
    write_file(dir / "docs/sparse", 0);
    ASSERT_EQ(::truncate((dir / "docs/sparse").c_str(), 1 << 24), 0);  // nothing allocated
    write_file(dir / "links/twice", 20000);
    fs::create_hard_link(dir / "links/twice", dir / "links/twice-again");
    fs::create_hard_link(dir / "links/twice", dir / "docs/a/twice-elsewhere");
    fs::create_symlink("../root.bin", dir / "links/to-root");
    fs::create_directory_symlink("../src", dir / "links/to-src");
    ASSERT_EQ(::mkfifo((dir / "links/pipe").c_str(), 0644), 0);
}

TEST_P(ScanTest, MixedTreeMatchesTheFileSystem) {
    TempDir dir;
    build_mixed_tree(dir);
    const std::string given = dir.path() + "/";  // the root's name is kept exactly as given
    const Tree tree = scan_ok(given);
    expect_well_formed(tree, given);
    EXPECT_FALSE(tree.stopped);
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir.path()));

    // Every real folder once, links to folders not followed.
    const auto by_path = folders_by_path(tree);
    std::set<std::string> folders{""};
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (entry.is_directory() && !entry.is_symlink()) {
            folders.insert(fs::relative(entry.path(), dir.path()).string());
        }
    }
    for (const auto& [path, index] : by_path) {
        EXPECT_TRUE(folders.contains(path) && !tree.is_partial({index, 0})) << path;
    }
    EXPECT_EQ(by_path.size(), folders.size());
    EXPECT_EQ(by_path.size(), tree.record_count());
    EXPECT_EQ(tree.absolute_path(by_path.at("a/build")), dir.path() + "/a/build");

    // Folders without cross-folder hard links own exactly what they hold.
    for (const std::string path : {"", "src", "src/lib", "src/lib/deep/er", "empty/nothing/here",
                                   "a/build", "b/build", "docs/a/b/c"}) {
        const uint32_t index = by_path.at(path);
        EXPECT_EQ(tree.folders[index].own, direct_own(dir / path)) << path;
        EXPECT_EQ(tree.folders[index].flags, 0) << path;
    }

    // The largest files: every allocated file once, where its bytes are.
    std::multiset<std::pair<std::string, uint64_t>> expected;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        const struct stat st = lstat_of(entry.path());
        if (!S_ISDIR(st.st_mode) && st.st_blocks != 0 &&
            seen.insert({st.st_dev, st.st_ino}).second) {
            const std::string name = entry.path().filename().string();
            // A hard-linked copy is named by whichever folder counted it.
            expected.insert({name.starts_with("twice") ? "twice" : name, st.st_blocks * 512});
        }
    }
    std::multiset<std::pair<std::string, uint64_t>> kept;
    for (const FileRecord& file : tree.files) {
        kept.insert({file.name.starts_with("twice") ? "twice" : file.name, file.size});
        const std::string path = tree.absolute_path(file.folder) + "/" + file.name;
        EXPECT_EQ(allocated_of(path), file.size) << path;
    }
    EXPECT_EQ(kept, expected);
}

TEST_P(ScanTest, HardLinkedEntriesCountOnceInTheFolderThatListedThemFirst) {
    TempDir dir;
    write_file(dir / "a/file", 40000);
    make_dirs(dir / "b");
    make_dirs(dir / "c");
    fs::create_hard_link(dir / "a/file", dir / "b/file");
    fs::create_hard_link(dir / "a/file", dir / "c/file");
    // A symbolic link with several links is counted like a hard-linked file.
    make_dirs(dir / "d");
    make_dirs(dir / "e");
    fs::create_symlink(std::string(200, 'x'), dir / "d/link");
    ASSERT_EQ(::linkat(AT_FDCWD, (dir / "d/link").c_str(), AT_FDCWD, (dir / "e/link").c_str(), 0),
              0);

    const Tree tree = scan_ok(dir.path());
    expect_well_formed(tree, dir.path());
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir.path()));
    const auto by_path = folders_by_path(tree);

    for (const auto& [name, folders] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{{"file", {"a", "b", "c"}},
                                                                       {"link", {"d", "e"}}}) {
        // The hard-link table names one owner, and only the owner holds the bytes.
        const ino_t inode = lstat_of(dir / (folders[0] + "/" + name)).st_ino;
        std::vector<uint32_t> owners;
        for (const auto& [key, folder] : tree.folder_index) {
            if (key.file_id == inode) {
                owners.push_back(folder);
            }
        }
        ASSERT_EQ(owners.size(), 1u) << name;
        const uint64_t bytes = allocated_of(dir / (folders[0] + "/" + name));
        for (const std::string& folder : folders) {
            const uint32_t index = by_path.at(folder);
            EXPECT_EQ(tree.folders[index].own,
                      allocated_of(dir / folder) + (index == owners[0] ? bytes : 0))
                << folder;
        }
        // The largest files list it only in the folder that counted it.
        for (const FileRecord& file : tree.files) {
            EXPECT_TRUE(file.name != name || file.folder == owners[0]) << name;
        }
    }
    EXPECT_EQ(std::ranges::count(tree.files, "file", &FileRecord::name), 1);
}

TEST_P(ScanTest, RootFormsAndRootErrors) {
    TempDir dir;
    write_file(dir / "real/file", 10000);
    write_file(dir / "real/sub/inner", 3000);
    fs::create_directory_symlink(dir / "real", dir / "link");

    // A root that is a link to a folder is followed; links below it are not.
    const Tree through_link = scan_ok(dir / "link");
    expect_well_formed(through_link, dir / "link");
    EXPECT_EQ(through_link.record_count(), 2u);
    EXPECT_EQ(through_link.total_size(kRoot), du_total(dir / "real"));

    // A root without subfolders is a single record.
    make_dirs(dir / "empty");
    const Tree empty = scan_ok(dir / "empty");
    ASSERT_EQ(empty.record_count(), 1u);
    EXPECT_EQ(empty.folders[0].own, allocated_of(dir / "empty"));
    EXPECT_TRUE(empty.files.empty());

    auto error_of = [&](std::string_view path) {
        const auto result = scan(path);
        return result ? 0 : result.error().code;
    };
    EXPECT_EQ(error_of(dir / "real/file"), ENOTDIR);
    EXPECT_EQ(error_of(dir / "missing"), ENOENT);
    EXPECT_EQ(error_of(std::string(dir.path()) + std::string("\0/real", 6)), EINVAL);
    EXPECT_EQ(scan(dir / "missing").error().path, dir / "missing");
}

TEST_P(ScanTest, StopDuringTheWalkDrainsTheQueue) {
    TempDir dir(test::memory_temp_base());
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 10; ++j) {
            write_file(dir / fmt::format("d{}/e{}/f{}/file", i, j, 0), 100);
            write_file(dir / fmt::format("d{}/e{}/f{}/file", i, j, 1), 100);
        }
    }
    write_file(dir / "top", 5000);
    for (const int allowed : {0, 37}) {
        ScanOptions options;
        std::atomic<int> calls{0};
        options.stop = [&calls, allowed] { return calls.fetch_add(1) >= allowed; };
        const Tree tree = scan_ok(dir.path(), options);
        expect_well_formed(tree, dir.path());
        EXPECT_TRUE(tree.stopped);
        // Every folder that was allowed is recorded; every queued job was asked once.
        EXPECT_EQ(tree.record_count(), 1u + allowed);
        EXPECT_GT(calls.load(), allowed);
        EXPECT_LE(calls.load(), 310);
        if (allowed == 0) {
            // Each direct subfolder was asked once and skipped.
            EXPECT_EQ(calls.load(), 10);
            EXPECT_EQ(tree.folders[0].own, direct_own(dir.path()));
            EXPECT_EQ(tree.folders[0].flags, 0);
            ASSERT_EQ(tree.files.size(), 1u);
            EXPECT_EQ(tree.files[0].folder, 0u);
        }
    }
}

// root/locked (mode 000) holds a folder and a file; root/open/deeper/locked
// (mode 311) can be passed through but not listed; root/open/listed (mode 444)
// can be listed but not searched; root/fine is readable.
TEST_P(ScanTest, UnreadableFoldersAreRecordedWithTheirErrno) {
    TempDir dir;
    const std::string root = dir.path();
    write_file(root + "/locked/file", 9000);
    make_dirs(root + "/locked/inner");
    write_file(root + "/open/deeper/locked/file", 9000);
    write_file(root + "/open/side/file", 100);
    write_file(root + "/open/listed/file", 100);
    write_file(root + "/fine/file", 100);
    ::chmod(root.c_str(), 0755);
    ::chmod((root + "/open/listed").c_str(), 0444);
    ::chmod((root + "/locked").c_str(), 0);
    ::chmod((root + "/open/deeper/locked").c_str(), 0311);

    std::optional<Result<Tree>> scanned, locked_root;
    test::as_nobody([&] {
        scanned = scan(root);
        locked_root = scan(root + "/locked");
    });
    ASSERT_TRUE(*scanned) << scanned->error().to_string();
    const Tree& tree = **scanned;
    expect_well_formed(tree, root);
    const auto by_path = folders_by_path(tree);
    for (const std::string path : {"locked", "open/deeper/locked"}) {
        const uint32_t index = by_path.at(path);
        EXPECT_EQ(tree.folders[index].flags, kFlagUnreadable) << path;
        EXPECT_EQ(tree.error_text({index, 0}), "EACCES") << path;
        // Only the folder's own allocation, from its parent's listing.
        EXPECT_EQ(tree.folders[index].own, allocated_of(root + "/" + path)) << path;
        EXPECT_EQ(tree.child_ids({index, 0}).size(), 0u) << path;
    }
    for (const std::string path : {"", "open", "open/deeper"}) {
        EXPECT_TRUE(tree.is_partial({by_path.at(path), 0})) << path;
        EXPECT_EQ(tree.folders[by_path.at(path)].flags, 0) << path;
    }
    for (const std::string path : {"fine", "open/side"}) {
        EXPECT_FALSE(tree.is_partial({by_path.at(path), 0})) << path;
    }
    // The portable reader cannot stat the entries; the bulk reader drops them.
    EXPECT_EQ(tree.folders[by_path.at("open/listed")].flags, GetParam().bulk ? 0 : kFlagUnreadable);
    EXPECT_EQ(tree.record_count(), 8u);
    EXPECT_EQ(tree.files.size(), 2u);

    // An unreadable root is an error of the scan, not a record.
    ASSERT_FALSE(*locked_root);
    EXPECT_EQ(locked_root->error().code, EACCES);
}

TEST_P(ScanTest, FolderReplacedByALinkBeforeItIsOpenedIsUnreadable) {
    TempDir dir;
    write_file(dir / "root/victim/file", 5000);
    make_dirs(dir / "elsewhere");
    const uint64_t victim_allocated = allocated_of(dir / "root/victim");
    ScanOptions options;
    std::atomic<bool> swapped{false};
    // The stop test is asked right before a job opens its folder: the root
    // has been listed, the folder not yet opened.
    options.stop = [&] {
        if (!swapped.exchange(true)) {
            fs::rename(dir / "root/victim", dir / "elsewhere/victim");
            fs::create_directory_symlink(dir / "elsewhere/victim", dir / "root/victim");
        }
        return false;
    };
    const Tree tree = scan_ok(dir / "root", options);
    ASSERT_EQ(tree.record_count(), 2u);
    EXPECT_EQ(tree.folders[1].flags, kFlagUnreadable);
    EXPECT_THAT(tree.folders[1].error_number, kLinkNotFollowed);
    EXPECT_EQ(tree.folders[1].own, victim_allocated);
    EXPECT_TRUE(tree.is_partial(kRoot));
    EXPECT_TRUE(tree.files.empty());
}

TEST_P(ScanTest, MountedVolumesBelowTheRootAreNotEntered) {
    TempDir dir;
    write_file(dir / "sub/file", 8000);
    make_dirs(dir / "sub/mnt");
    const test::ScopedMount mount("bramwex-test", dir / "sub/mnt", "tmpfs", 0, "size=4m");
    if (!mount.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    write_file(dir / "sub/mnt/inside/big", 1 << 20);

    const Tree tree = scan_ok(dir.path());
    const auto by_path = folders_by_path(tree);
    const uint32_t mnt = by_path.at("sub/mnt");
    EXPECT_EQ(tree.folders[mnt].flags, kFlagOtherDevice);
    EXPECT_EQ(tree.folders[mnt].own, 0u);
    EXPECT_EQ(tree.child_ids({mnt, 0}).size(), 0u);
    EXPECT_EQ(tree.record_count(), 3u);
    EXPECT_EQ(tree.total_size(kRoot), allocated_of(dir.path()) + direct_own(dir / "sub"));
    ASSERT_EQ(tree.files.size(), 1u);
    EXPECT_EQ(tree.files[0].name, "file");
}

TEST_P(ScanTest, BindMountOfAFolderAboveIsNotEnteredAgain) {
    if (GetParam().bulk) {
        GTEST_SKIP() << "the bulk reader enters no mount point at all";
    }
    TempDir dir;
    write_file(dir / "a/file", 100000);
    write_file(dir / "a/source/inside", 7000);
    make_dirs(dir / "a/self");
    make_dirs(dir / "a/x/y/self");
    make_dirs(dir / "a/copy");
    const test::ScopedMount self(dir / "a", dir / "a/self", nullptr, MS_BIND);
    if (!self.mounted()) {
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    }
    const test::ScopedMount deeper(dir / "a", dir / "a/x/y/self", nullptr, MS_BIND);
    const test::ScopedMount copy(dir / "a/source", dir / "a/copy", nullptr, MS_BIND);
    ASSERT_TRUE(deeper.mounted() && copy.mounted());

    const Tree tree = scan_ok(dir / "a");
    expect_well_formed(tree, dir / "a");
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir / "a"));
    const auto by_path = folders_by_path(tree);
    for (const std::string path : {"self", "x/y/self"}) {
        const uint32_t index = by_path.at(path);
        EXPECT_EQ(tree.folders[index].flags, kFlagOtherDevice) << path;
        EXPECT_EQ(tree.folders[index].own, 0u) << path;
        EXPECT_EQ(tree.child_ids({index, 0}).size(), 0u) << path;
    }
    // A bind mount that repeats no folder above it is walked like any folder.
    EXPECT_EQ(tree.folders[by_path.at("copy")].flags, 0);
    EXPECT_EQ(tree.total_size({by_path.at("copy"), 0}), du_total(dir / "a/copy"));

    // From x, the bound a repeats nothing on the chain, but its own x is the
    // scan's root again: an ordinary folder below a mount root.
    const Tree inner = scan_ok(dir / "a/x");
    EXPECT_EQ(inner.total_size(kRoot), du_total(dir / "a/x"));
    EXPECT_EQ(inner.folders[folders_by_path(inner).at("y/self/x")].flags, kFlagOtherDevice);
}

TEST_P(ScanTest, ReclaimableSizesFollowTheReader) {
    TempDir dir;
    build_mixed_tree(dir);
    ScanOptions options;
    options.reclaimable = true;
    const Tree tree = scan_ok(dir.path(), options);
    ASSERT_EQ(tree.reclaimable_sizes.size(), tree.record_count());
    EXPECT_TRUE(tree.has_reclaimable());
    if (GetParam().bulk) {
        // Every allocated byte counts where private sizes are not known.
        for (uint32_t k = 0; k < tree.record_count(); ++k) {
            EXPECT_EQ(tree.reclaimable_sizes[k], tree.folders[k].own) << k;
        }
    } else {
        // The portable reader reads no per-entry sizes: only the root's own
        // directory allocation, which the scan starts from, remains.
        EXPECT_EQ(tree.reclaimable(kRoot), allocated_of(dir.path()));
        EXPECT_EQ(tree.reclaimable_sizes[0], allocated_of(dir.path()));

        // Probing the file system picks the allocated sizes instead.
        options.reader = Reader::Auto;
        options.threads = GetParam().threads;
        const auto probed = scan_tree(dir.path(), options);
        ASSERT_TRUE(probed);
        ASSERT_EQ(probed->reclaimable_sizes.size(), probed->record_count());
        for (uint32_t k = 0; k < probed->record_count(); ++k) {
            EXPECT_EQ(probed->reclaimable_sizes[k], probed->folders[k].own) << k;
        }
    }
    EXPECT_FALSE(scan_ok(dir.path()).has_reclaimable());
}

// ---------------------------------------------------------------------------
// Large trees, built once per suite, made relative to descriptors so that no
// path ever gets long.

class LargeTreeScanTest : public ScanTest {
  protected:
    static constexpr int kWideFolders = 1000;
    static constexpr int kWideEntries = 100000;
    static constexpr int kWideLinkedFiles = (kWideEntries - kWideFolders) / 2;
    static constexpr int kDepth = 10000;

    static void TearDownTestSuite() {
        wide_.reset();
        deep_.reset();
    }

    // 100,000 entries in one folder: empty files linked twice each, and
    // folders holding one non-empty file each.
    static const TempDir& wide() {
        if (!wide_) {
            wide_ = std::make_unique<TempDir>(test::memory_temp_base());
            const int root = ::open(wide_->path().c_str(), O_RDONLY | O_DIRECTORY);
            for (int k = 0; k < kWideLinkedFiles; ++k) {
                const std::string name = fmt::format("f{:06}", k);
                ::close(::openat(root, name.c_str(), O_WRONLY | O_CREAT, 0644));
                EXPECT_EQ(::linkat(root, name.c_str(), root, (name + "-again").c_str(), 0), 0);
            }
            for (int k = 0; k < kWideFolders; ++k) {
                const std::string name = fmt::format("d{:04}", k);
                ::mkdirat(root, name.c_str(), 0755);
                const int file = ::openat(root, (name + "/one").c_str(), O_WRONLY | O_CREAT, 0644);
                EXPECT_EQ(::write(file, "x", 1), 1);
                ::close(file);
            }
            ::close(root);
        }
        return *wide_;
    }

    // A chain of 10,000 folders with one file at the bottom.
    static const TempDir& deep() {
        if (!deep_) {
            deep_ = std::make_unique<TempDir>(test::memory_temp_base());
            int fd = ::open(deep_->path().c_str(), O_RDONLY | O_DIRECTORY);
            for (int level = 0; level < kDepth; ++level) {
                ::mkdirat(fd, "d", 0755);
                const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
                ::close(fd);
                fd = next;
            }
            const int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
            EXPECT_EQ(::write(file, "x", 1), 1);
            ::close(file);
            ::close(fd);
        }
        return *deep_;
    }

  private:
    static inline std::unique_ptr<TempDir> wide_;
    static inline std::unique_ptr<TempDir> deep_;
};

INSTANTIATE_TEST_SUITE_P(Configs, LargeTreeScanTest, kConfigs, config_name);

TEST_P(LargeTreeScanTest, HundredThousandEntriesInOneFolder) {
    const TempDir& dir = wide();
    const Tree tree = scan_ok(dir.path());
    expect_well_formed(tree, dir.path());
    ASSERT_EQ(tree.record_count(), 1u + kWideFolders);
    EXPECT_EQ(tree.folders[0].own, allocated_of(dir.path()));
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir.path()));
    EXPECT_EQ(tree.names->size(), 1u + kWideFolders);
    // Exactly as many non-empty files as can be kept: every one of them is.
    ASSERT_EQ(tree.files.size(), static_cast<size_t>(kWideFolders));
    std::set<uint32_t> holders;
    for (const FileRecord& file : tree.files) {
        EXPECT_EQ(file.name, "one");
        holders.insert(file.folder);
    }
    EXPECT_EQ(holders.size(), static_cast<size_t>(kWideFolders));
    EXPECT_EQ(holders.count(0), 0u);
    EXPECT_EQ(tree.folder_index.size(), static_cast<size_t>(kWideLinkedFiles));
}

TEST_P(LargeTreeScanTest, StopLandsInsideALargeFolder) {
    // Yes from the second question on: only a scan that asks between batches
    // of one folder's entries stops before it has listed them all.
    std::atomic<int> calls{0};
    ScanOptions options;
    options.stop = [&calls] { return calls.fetch_add(1) >= 1; };
    const Tree tree = scan_ok(wide().path(), options);
    EXPECT_TRUE(tree.stopped);
    EXPECT_EQ(tree.record_count(), 1u);  // subfolders of a stopped listing are not queued
    EXPECT_LT(tree.folder_index.size(), static_cast<size_t>(kWideLinkedFiles) / 2);
}

TEST_P(LargeTreeScanTest, TenThousandLevelsDeep) {
    const TempDir& dir = deep();
    const Tree tree = scan_ok(dir.path());
    ASSERT_EQ(tree.record_count(), 1u + kDepth);
    expect_well_formed(tree, dir.path());
    for (uint32_t k = 1; k < tree.record_count(); ++k) {
        ASSERT_EQ(tree.folders[k].parent, k - 1);
    }
    EXPECT_EQ(tree.names->size(), 2u);
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir.path()));
    ASSERT_EQ(tree.files.size(), 1u);
    EXPECT_EQ(tree.files[0].folder, static_cast<uint32_t>(kDepth));
    EXPECT_EQ(tree.absolute_path(kDepth).size(), dir.path().size() + 2 * kDepth);
}

// ---------------------------------------------------------------------------

TEST(OpenDirComponents, OpensEachNameWithoutFollowingLinks) {
    TempDir dir;
    make_dirs(dir / "a/b/c");
    write_file(dir / "a/file", 1);
    fs::create_directory_symlink(dir / "a/b", dir / "a/link");
    const int top = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(top, 0);
    const auto fds_before = entries_of("/proc/self/fd");

    using Names = std::vector<std::string>;
    auto inode_of = [&](Names names) -> ino_t {
        const auto opened = open_dir_components(top, names);
        if (!opened) {
            return 0;
        }
        struct stat st;
        ::fstat(*opened, &st);
        ::close(*opened);
        return st.st_ino;
    };
    EXPECT_EQ(inode_of({"a", "b", "c"}), lstat_of(dir / "a/b/c").st_ino);
    EXPECT_EQ(inode_of({}), lstat_of(dir.path()).st_ino);

    auto error_of = [&](Names names) {
        const auto opened = open_dir_components(top, names);
        return opened ? (::close(*opened), 0) : opened.error();
    };
    EXPECT_THAT(error_of({"a", "link", "c"}), kLinkNotFollowed);
    EXPECT_THAT(error_of({"a", "link"}), kLinkNotFollowed);
    EXPECT_EQ(error_of({"a", "file"}), ENOTDIR);
    EXPECT_EQ(error_of({"a", "missing", "c"}), ENOENT);
    EXPECT_EQ(error_of({"a", std::string("b\0c", 3)}), EINVAL);
    // Every descriptor opened on the way is closed again, failure or not.
    EXPECT_EQ(entries_of("/proc/self/fd"), fds_before);
    ::close(top);
}

TEST(ScanFailures, LeaveNoDescriptorOpen) {
    // A root that takes several batches to list, with subfolders below.
    TempDir dir(test::memory_temp_base());
    for (int k = 0; k < 5000; ++k) {
        write_file(dir / fmt::format("f{:05}", k), 0);
    }
    for (int k = 0; k < 20; ++k) {
        write_file(dir / fmt::format("d{}/e/file", k), 100);
    }
    ASSERT_TRUE(scan_tree(dir.path(), {}));  // whatever the libraries open once stays
    const auto fds_before = entries_of("/proc/self/fd");

    // The root is open while the hook runs.
    Scanner scanner{std::make_shared<Pool>(std::move(build_pool(4).value())), {}};
    ScanHooks hooks;
    hooks.started = [](const BuilderParts&) { throw std::runtime_error("hook"); };
    EXPECT_THROW((void)scanner.scan(dir.path(), hooks), std::runtime_error);

    // A folder is open while its listing asks the stop test.
    for (int failing_call : {0, 1, 5}) {
        std::atomic<int> calls{0};
        ScanOptions options;
        options.threads = 4;
        options.stop = [&] {
            if (calls.fetch_add(1) == failing_call) {
                throw std::runtime_error("stop test");
            }
            return false;
        };
        EXPECT_THROW((void)scan_tree(dir.path(), options), std::runtime_error) << failing_call;
    }

    // A thread that cannot start (an automatic count runs the gate's
    // controller) is the scan's error.
    ScanHooks no_thread;
    no_thread.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(EAGAIN, std::generic_category(), "no thread");
    };
    const auto scanned = detail::scan_tree_with_read_mode(dir.path(), {}, std::nullopt, &no_thread);
    ASSERT_FALSE(scanned);
    EXPECT_THAT(scanned.error().to_string(), testing::StartsWith("cannot start threads: "));
    EXPECT_FALSE(build_pool(0));
    EXPECT_EQ(entries_of("/proc/self/fd"), fds_before);
}

TEST(ScanPool, ItsThreadsEndWithTheScan) {
    TempDir dir;
    build_mixed_tree(dir);
    const auto threads_before = entries_of("/proc/self/task");
    for (const std::optional<uint32_t> threads :
         {std::optional<uint32_t>(8), std::optional<uint32_t>()}) {
        ScanOptions options;
        options.threads = threads;
        ASSERT_TRUE(scan_tree(dir.path(), options));
        EXPECT_EQ(entries_of("/proc/self/task"), threads_before);
    }
}

TEST(RaiseOpenFileLimit, LiftsTheSoftLimitTowardsTheHardOne) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit low = original;
    low.rlim_cur = std::min<rlim_t>(256, original.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    raise_open_file_limit();
    rlimit raised{};
    ::getrlimit(RLIMIT_NOFILE, &raised);
    EXPECT_EQ(raised.rlim_cur, std::min<rlim_t>(original.rlim_max, 65536));
    EXPECT_EQ(raised.rlim_max, original.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &original);
}

}  // namespace
}  // namespace bramwex::core

#if defined(__SANITIZE_THREAD__)
// The pool's library is not instrumented, so the thread sanitizer cannot see
// its synchronisation. The scanner states its own hand-over of jobs to the
// pool; these cover what is left, accesses made wholly by the pool's code:
// task bookkeeping in its headers and its own internal buffers.
extern "C" const char* __tsan_default_suppressions() {
    return "race_top:/usr/include/oneapi/tbb/task_group.h\n"
           "called_from_lib:libtbb.so\n";
}
#endif
