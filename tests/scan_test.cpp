#include "core/scan/scan.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
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

// What du reports for the folder (followed if a link), in bytes, not counting
// other file systems: the expected total of a scan.
uint64_t du_total(const std::string& root) {
    const std::string command = "du -D -x -s -B1 -- '" + root + "'";
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
        own += S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_blocks) * 512;
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
    for (const FileRecord& file : tree.files) {
        EXPECT_LT(file.folder, tree.record_count());
        EXPECT_GT(file.size, 0u);
    }
}

// A random tree: nested and empty folders, files of many sizes (empty and
// sparse ones too), hard links within and across folders (of symbolic links
// too), links to files and folders, and fifos.
void build_random_tree(const std::string& root, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    };
    std::vector<std::string> folders{root}, linkable;
    for (int k = 0; k < 80; ++k) {
        const std::string path = fmt::format("{}/n{}", folders[pick(folders.size())], k);
        switch (pick(9)) {
            case 0:
            case 1:
                make_dirs(path);
                folders.push_back(path);
                break;
            case 2:
            case 3:
                if (!linkable.empty()) {
                    fs::create_hard_link(linkable[pick(linkable.size())], path);
                }
                break;
            case 4:
                fs::create_symlink(std::string(pick(300) + 1, 'x'), path);
                linkable.push_back(path);
                break;
            case 5:
                fs::create_directory_symlink(folders[pick(folders.size())], path);
                break;
            case 6:
                ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
                break;
            default:
                static constexpr size_t kSizes[] = {0, 1, 4095, 4096, 5000, 70000, 300000};
                write_file(path, kSizes[pick(std::size(kSizes))]);
                if (pick(6) == 0) {
                    ASSERT_EQ(::truncate(path.c_str(), 1 << 24), 0);  // a hole at the end
                }
                linkable.push_back(path);
        }
    }
}

// A finished scan of root against the file system: every real folder once,
// owning its directory, its entries with one link, and each entry with more
// links once, in one of the folders holding a link; the total du reports;
// the largest files in the folders that counted them.
void expect_matches_disk(const Tree& tree, const std::string& root) {
    EXPECT_FALSE(tree.stopped);
    EXPECT_EQ(tree.total_size(kRoot), du_total(root));
    const auto by_path = folders_by_path(tree);
    std::vector<uint64_t> own(tree.record_count());
    std::multiset<std::pair<uint32_t, uint64_t>> want_files, got_files;
    std::map<uint64_t, std::pair<std::set<uint32_t>, uint64_t>> linked;  // inode -> holders, bytes
    std::vector<std::string> folders{root};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (S_ISDIR(lstat_of(entry.path()).st_mode)) {
            folders.push_back(entry.path());
        }
    }
    ASSERT_EQ(tree.record_count(), folders.size());
    for (const std::string& folder : folders) {
        const auto found = by_path.find(folder == root ? "" : fs::relative(folder, root).string());
        ASSERT_NE(found, by_path.end()) << folder;
        const uint32_t index = found->second;
        EXPECT_EQ(tree.absolute_path(index), folder);
        EXPECT_FALSE(tree.is_partial({index, 0}) || tree.folders[index].flags != 0) << folder;
        own[index] = allocated_of(folder + "/");  // through a root given as a link
        for (const auto& entry : fs::directory_iterator(folder)) {
            const struct stat st = lstat_of(entry.path());
            const uint64_t bytes = static_cast<uint64_t>(st.st_blocks) * 512;
            if (S_ISDIR(st.st_mode)) {
            } else if (st.st_nlink > 1) {
                linked[st.st_ino].first.insert(index);
                linked[st.st_ino].second = bytes;
            } else {
                own[index] += bytes;
                want_files.insert({index, bytes});
            }
        }
    }
    EXPECT_EQ(tree.folder_index.size(), linked.size());
    for (const auto& [key, folder] : tree.folder_index) {
        ASSERT_TRUE(linked.contains(key.file_id)) << key.file_id;
        const auto& [holders, bytes] = linked.at(key.file_id);
        EXPECT_TRUE(holders.contains(folder)) << key.file_id;
        own[folder] += bytes;
        want_files.insert({folder, bytes});
    }
    for (uint32_t k = 0; k < tree.record_count(); ++k) {
        EXPECT_EQ(tree.folders[k].own, own[k]) << tree.absolute_path(k);
    }
    std::erase_if(want_files, [](const auto& file) { return file.second == 0; });
    for (const FileRecord& file : tree.files) {
        got_files.insert({file.folder, file.size});
        const std::string path = tree.absolute_path(file.folder) + "/" + file.name;
        EXPECT_EQ(allocated_of(path), file.size) << path;
    }
    EXPECT_EQ(got_files, want_files);
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

// Reclaimable sizes: every allocated byte counts where private sizes are not
// known (bulk reader here, or the portable one chosen by probing); the
// portable reader asked for reads no per-entry sizes, so only the root's own
// directory allocation, which the scan starts from, remains.
TEST_P(ScanTest, RandomTreesMatchDuAndTheFileSystem) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        TempDir dir;
        const std::string real = dir / "t";
        make_dirs(real);
        build_random_tree(real, seed);
        // The root's name is kept exactly as given; a root that is a link to a
        // folder is followed, links below it are not.
        fs::create_directory_symlink(real, dir / "link");
        const std::string given = seed == 1 ? dir / "link" : seed % 2 ? real : real + "/";
        ScanOptions options;
        options.reclaimable = seed > 2;
        Tree tree = scan_ok(given, options);
        expect_well_formed(tree, given);
        expect_matches_disk(tree, given);
        EXPECT_EQ(tree.has_reclaimable(), options.reclaimable);
        if (!options.reclaimable) {
            continue;
        }
        if (!GetParam().bulk) {
            EXPECT_EQ(tree.reclaimable(kRoot), allocated_of(real));
            options.reader = Reader::Auto;
            options.threads = GetParam().threads;
            tree = scan_tree(given, options).value();
        }
        ASSERT_EQ(tree.reclaimable_sizes.size(), tree.record_count());
        for (uint32_t k = 0; k < tree.record_count(); ++k) {
            EXPECT_EQ(tree.reclaimable_sizes[k], tree.folders[k].own) << k;
        }
    }
    const TempDir dir;
    write_file(dir / "file", 1);
    for (const auto& [path, code] : {std::pair<std::string, int>{dir / "file", ENOTDIR},
                                     {dir / "missing", ENOENT},
                                     {dir.path() + std::string("\0/file", 6), EINVAL}}) {
        const auto result = scan(path);
        ASSERT_FALSE(result) << path;
        EXPECT_EQ(result.error().code, code) << path;
        EXPECT_TRUE(code == EINVAL || result.error().path == path) << path;
    }
}

TEST_P(ScanTest, StopDuringTheWalkDrainsTheQueue) {
    TempDir dir(test::memory_temp_base());
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 20; ++j) {
            write_file(dir / fmt::format("d{}/e{}/f{}/file", i, j / 2, j % 2), 100);
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
    make_dirs(root + "/open/listed/inner");
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
    for (const auto& [path, partial] : {std::pair<std::string, bool>{"", true},
                                        {"open", true},
                                        {"open/deeper", true},
                                        {"fine", false},
                                        {"open/side", false}}) {
        EXPECT_EQ(tree.is_partial({by_path.at(path), 0}), partial) << path;
        EXPECT_EQ(tree.folders[by_path.at(path)].flags, 0) << path;
    }
    // The portable reader cannot stat the entries; the bulk reader drops the
    // file and passes the folder on, for its own open to fail.
    const bool bulk = GetParam().bulk;
    EXPECT_EQ(tree.folders[by_path.at("open/listed")].flags, bulk ? 0 : kFlagUnreadable);
    EXPECT_EQ(by_path.contains("open/listed/inner"), bulk);
    EXPECT_EQ(tree.record_count(), bulk ? 9u : 8u);
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

TEST_P(ScanTest, OtherDevicesAndBindMountsOfFoldersAboveAreNotEntered) {
    TempDir dir;
    write_file(dir / "a/file", 100000);
    write_file(dir / "a/source/inside", 7000);
    for (const char* path : {"a/mnt", "a/self", "a/x/y/self", "a/copy"}) {
        make_dirs(dir / path);
    }
    const test::ScopedMount tmpfs("bramwex-test", dir / "a/mnt", "tmpfs", 0, "size=4m");
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
    }
    write_file(dir / "a/mnt/inside/big", 1 << 20);
    const test::ScopedMount self(dir / "a", dir / "a/self", nullptr, MS_BIND);
    const test::ScopedMount deeper(dir / "a", dir / "a/x/y/self", nullptr, MS_BIND);
    const test::ScopedMount copy(dir / "a/source", dir / "a/copy", nullptr, MS_BIND);
    ASSERT_TRUE(self.mounted() && deeper.mounted() && copy.mounted());

    const Tree tree = scan_ok(dir / "a");
    expect_well_formed(tree, dir / "a");
    const auto by_path = folders_by_path(tree);
    // The bulk reader enters no mount point at all; the portable one walks a
    // bind mount that repeats no folder above it like any folder.
    const bool bulk = GetParam().bulk;
    EXPECT_EQ(tree.total_size(kRoot), du_total(dir / "a") - (bulk ? du_total(dir / "a/copy") : 0));
    for (const std::string path : {"mnt", "self", "x/y/self", "copy"}) {
        const uint32_t index = by_path.at(path);
        const bool entered = path == "copy" && !bulk;
        EXPECT_EQ(tree.folders[index].flags, entered ? 0 : kFlagOtherDevice) << path;
        EXPECT_EQ(tree.total_size({index, 0}), entered ? du_total(dir / "a/copy") : 0) << path;
    }
    EXPECT_EQ(tree.files.size(), bulk ? 2u : 3u);  // not the big file on the tmpfs
    if (!bulk) {
        // From x, the bound a repeats nothing on the chain, but its own x is
        // the scan's root again: an ordinary folder below a mount root.
        const Tree inner = scan_ok(dir / "a/x");
        EXPECT_EQ(inner.total_size(kRoot), du_total(dir / "a/x"));
        EXPECT_EQ(inner.folders[folders_by_path(inner).at("y/self/x")].flags, kFlagOtherDevice);
    }
}

// ---------------------------------------------------------------------------
// Large trees, built once per suite relative to descriptors so that no path
// ever gets long: wide holds 100,000 entries (empty files linked twice each,
// and folders holding a one-byte file each); deep is a chain of 10,000
// folders with a one-byte file at the bottom.

class LargeTreeScanTest : public ScanTest {
  protected:
    static constexpr int kWideFolders = 1000;
    static constexpr int kWideLinkedFiles = (100000 - kWideFolders) / 2;
    static constexpr int kDepth = 10000;

    static void TearDownTestSuite() { dir_.reset(); }

    static const TempDir& large() {
        if (dir_) {
            return *dir_;
        }
        dir_ = std::make_unique<TempDir>(test::memory_temp_base());
        const auto one_byte = [](int at, const std::string& name) {
            const int file = ::openat(at, name.c_str(), O_WRONLY | O_CREAT, 0644);
            EXPECT_EQ(::write(file, "x", 1), 1);
            ::close(file);
        };
        make_dirs(*dir_ / "wide");
        const int wide = ::open((*dir_ / "wide").c_str(), O_RDONLY | O_DIRECTORY);
        for (int k = 0; k < kWideLinkedFiles; ++k) {
            const std::string name = fmt::format("f{:06}", k);
            ::close(::openat(wide, name.c_str(), O_WRONLY | O_CREAT, 0644));
            EXPECT_EQ(::linkat(wide, name.c_str(), wide, (name + "-again").c_str(), 0), 0);
        }
        for (int k = 0; k < kWideFolders; ++k) {
            const std::string name = fmt::format("d{:04}", k);
            ::mkdirat(wide, name.c_str(), 0755);
            one_byte(wide, name + "/one");
        }
        ::close(wide);
        make_dirs(*dir_ / "deep");
        int fd = ::open((*dir_ / "deep").c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; level < kDepth; ++level) {
            ::mkdirat(fd, "d", 0755);
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
        }
        one_byte(fd, "leaf");
        ::close(fd);
        return *dir_;
    }

  private:
    static inline std::unique_ptr<TempDir> dir_;
};

INSTANTIATE_TEST_SUITE_P(Configs, LargeTreeScanTest, kConfigs, config_name);

TEST_P(LargeTreeScanTest, HundredThousandEntriesInOneFolderAndTenThousandLevels) {
    const std::string wide = large() / "wide", deep = large() / "deep";
    const Tree tree = scan_ok(wide);
    expect_well_formed(tree, wide);
    ASSERT_EQ(tree.record_count(), 1u + kWideFolders);
    EXPECT_EQ(tree.total_size(kRoot), du_total(wide));
    // Exactly as many non-empty files as can be kept: every one of them is.
    ASSERT_EQ(tree.files.size(), static_cast<size_t>(kWideFolders));
    EXPECT_EQ(tree.folder_index.size(), static_cast<size_t>(kWideLinkedFiles));

    const Tree chain = scan_ok(deep);
    ASSERT_EQ(chain.record_count(), 1u + kDepth);
    expect_well_formed(chain, deep);
    for (uint32_t k = 1; k < chain.record_count(); ++k) {
        ASSERT_EQ(chain.folders[k].parent, k - 1);
    }
    EXPECT_EQ(chain.total_size(kRoot), du_total(deep));
    ASSERT_EQ(chain.files.size(), 1u);
    EXPECT_EQ(chain.files[0].folder, static_cast<uint32_t>(kDepth));
    EXPECT_EQ(chain.absolute_path(kDepth).size(), deep.size() + 2 * kDepth);
}

TEST_P(LargeTreeScanTest, AnInterruptLandsInsideALargeFolderAndAStopDoesNot) {
    const std::string wide = large() / "wide";
    // Yes from the second question on: only a scan that asks between batches
    // of one folder's entries stops before it has listed them all.
    std::atomic<int> calls{0};
    ScanOptions options;
    options.interrupt = [&calls] { return calls.fetch_add(1) >= 1; };
    const Tree cut = scan_ok(wide, options);
    EXPECT_TRUE(cut.stopped);
    EXPECT_EQ(cut.record_count(), 1u);  // subfolders of a stopped listing are not queued
    EXPECT_LT(cut.folder_index.size(), static_cast<size_t>(kWideLinkedFiles) / 2);

    // The stop test is asked once per folder below the root, never inside a
    // listing: the root is listed whole and every subfolder left out.
    calls = 0;
    options = {};
    options.stop = [&calls] { return calls.fetch_add(1) >= 0; };
    const Tree whole = scan_ok(wide, options);
    EXPECT_TRUE(whole.stopped);
    EXPECT_EQ(whole.record_count(), 1u);
    EXPECT_EQ(whole.folder_index.size(), static_cast<size_t>(kWideLinkedFiles));
    EXPECT_EQ(calls.load(), kWideFolders);
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

    // A folder is open while its listing asks the interrupt.
    for (int failing_call : {0, 1, 5}) {
        std::atomic<int> calls{0};
        ScanOptions options;
        options.threads = 4;
        options.interrupt = [&] {
            if (calls.fetch_add(1) == failing_call) {
                throw std::runtime_error("interrupt");
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
    build_random_tree(dir.path(), 3);
    const auto threads_before = entries_of("/proc/self/task");
    for (const auto threads : {std::optional<uint32_t>(8), std::optional<uint32_t>()}) {
        ScanOptions options;
        options.threads = threads;
        ASSERT_TRUE(scan_tree(dir.path(), options));
        EXPECT_EQ(entries_of("/proc/self/task"), threads_before);
    }
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
