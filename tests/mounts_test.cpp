#include "core/sys/mounts.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/sys/full_disk_access.hpp"
#include "temp_dir.hpp"

namespace bramwex::core::sys {

void PrintTo(const Mount& mount, std::ostream* out) {
    *out << "{\"" << mount.point << "\", " << mount.fs << ", total " << mount.total << ", used "
         << mount.used << ", free " << mount.free << (mount.hidden ? ", hidden}" : "}");
}

namespace {

using test::TempDir;

TEST(MountInfo, ReadsPointAndTypeOfEveryWellFormedLineInOrder) {
    const std::string_view text =
        "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
        "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
        "40 27 0:40 /sub /mnt/with\\040space\\011tab rw master:2 shared:7 - xfs /dev/sdb rw\n"
        "42 27 0:42 / /mnt/stale rw - nfs4 server:/export rw\n"
        "45 27 0:45 / /mnt/auto rw,relatime - autofs systemd-1 rw,fd=1\n"
        "garbage without the separator\n"
        "43 27 0:43 / /mnt/cut rw -\n"
        "44 27 0:44 / /mnt/odd rw - typ\\377e src rw";  // no final newline
    const std::map<std::string, MountSizes> sizes = {
        {"/", {1000, 400, 500}},
        {"/mnt/with space\ttab", {10, 1, 9}},
        {"/mnt/odd", {5, 5, 0}},
    };
    std::mutex asking;  // the network mount is asked on a thread of its own
    std::vector<std::string> asked;
    const auto mounts = detail::mounts_from_mountinfo(
        text,
        [&](const std::string& point) -> SizesAnswer {
            const std::lock_guard lock(asking);
            asked.push_back(point);
            const auto found = sizes.find(point);  // a stale one is listed, unsized
            return found == sizes.end() ? std::unexpected(ESTALE) : SizesAnswer(found->second);
        },
        std::chrono::seconds(60));

    const std::vector<Mount> expected = {
        {"/proc", "proc", 0, 0, 0, true},
        {"/", "ext4", 1000, 400, 500, false},
        {"/mnt/with space\ttab", "xfs", 10, 1, 9, false},
        {"/mnt/stale", "nfs4", 0, 0, 0, false},
        {"/mnt/auto", "autofs", 0, 0, 0, true},
        {"/mnt/odd", "typ\uFFFDe", 5, 5, 0, false},
    };
    EXPECT_EQ(mounts, expected);
    // Sizing an automount point would mount what it stands for.
    EXPECT_EQ(asked.size(), expected.size() - 1);
    EXPECT_EQ(std::ranges::count(asked, "/mnt/auto"), 0);

    // The device lookup reads the same lines: the first mount of the device.
    EXPECT_EQ(detail::fs_type_of_device(text, makedev(254, 0)), "ext4");
    EXPECT_EQ(detail::fs_type_of_device(text, makedev(0, 43)), std::nullopt);  // cut short
    EXPECT_EQ(fs_type_of_device(test::lstat_of("/proc/self").st_dev), "proc");
}

TEST(MountInfo, UndoesOnlyCompleteOctalEscapes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"\\011\\012\\134", "\t\n\\"},
        {"/n\\01", "/n\\01"},  // too short
        {"/end\\", "/end\\"},  // nothing after it
        {"/\\\\040", "/\\ "},  // a lone backslash, then an escape
    };
    for (const auto& [field, unescaped] : cases) {
        EXPECT_EQ(detail::unescape_mount_field(field), unescaped) << field;
    }
}

TEST(MountSizes, UsedIsZeroWhenMoreBlocksAreFreeThanExist) {
    // blocks, free blocks, available, block size; the sizes
    const std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, MountSizes> cases[] = {
        {100, 40, 30, 4096, {409600, 245760, 122880}},
        {100, 101, 101, 4096, {409600, 0, 413696}},
        {(1ull << 40) + 1, 0, 0, 1ull << 30, {1ull << 30, 1ull << 30, 0}},  // wraps
    };
    for (const auto& [blocks, free_blocks, available, block_size, sizes] : cases) {
        EXPECT_EQ(sizes_from_blocks(blocks, free_blocks, available, block_size), sizes);
    }
}

// A network mount whose server is gone blocks statvfs for good: the list
// comes back within its wait with that mount unsized, and the next listing
// waits on the same stuck helper rather than starting another. Once the
// mount answers again, so does the list.
TEST(MountSizes, AMountThatNeverAnswersIsListedUnsizedInTime) {
    struct Server {
        std::mutex mutex;
        std::condition_variable back;
        bool up = false;
        int asked = 0;
    };
    const auto server = std::make_shared<Server>();  // outlives a stuck helper
    const AskSizes ask = [server](const std::string& point) -> SizesAnswer {
        if (point != "/mnt/dead-server") {
            return MountSizes{100, 40, 60};
        }
        std::unique_lock lock(server->mutex);
        ++server->asked;
        server->back.wait(lock, [&] { return server->up; });
        return MountSizes{7, 7, 0};
    };
    const std::string_view text =
        "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "42 27 0:42 / /mnt/dead-server rw - nfs server:/export rw\n";
    const std::vector<Mount> unsized = {{"/", "ext4", 100, 40, 60, false},
                                        {"/mnt/dead-server", "nfs", 0, 0, 0, false}};
    const auto wait = std::chrono::milliseconds(100);
    for (int listing = 0; listing < 2; ++listing) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(detail::mounts_from_mountinfo(text, ask, wait), unsized);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        const std::lock_guard lock(server->mutex);
        EXPECT_EQ(server->asked, 1);
    }
    {
        const std::lock_guard lock(server->mutex);
        server->up = true;
    }
    server->back.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<Mount> mounts;
    do {
        mounts = detail::mounts_from_mountinfo(text, ask, wait);
    } while (mounts.at(1).total == 0 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(mounts.at(1).total, 7u);
    EXPECT_FALSE(may_not_answer("ext4") || may_not_answer("tmpfs"));
    EXPECT_TRUE(may_not_answer("nfs4") && may_not_answer("cifs") && may_not_answer("fuseblk"));
}

TEST(FullDiskAccessProbeDir, ListsTheFolderOrGivesTheFirstError) {
    TempDir dir;
    test::make_dirs(dir / "folder");
    test::write_file(dir / "file", 0);
    ASSERT_EQ(::symlink("folder", (dir / "link").c_str()), 0);
    EXPECT_TRUE(probe_dir(dir.path() + "/", "link"));  // a link at the path itself is followed
    EXPECT_EQ(probe_dir(dir.path(), "file").error(), ENOTDIR);
    EXPECT_EQ(probe_dir(dir.path(), std::string("fol\0der", 7)).error(), EINVAL);
    // The answer from the guarded folders on disk, files where folders belong.
    test::make_dirs(dir / "Library/Application Support/com.apple.TCC");
    EXPECT_EQ(full_disk_access(dir.path()), FullDiskAccess::On);
    test::write_file(dir / "folder/Library", 0);
    for (const std::string& home : {dir / "folder", std::string("/no/such/home")}) {
        EXPECT_EQ(full_disk_access(home), FullDiskAccess::Unknown);
    }
}

TEST(FullDiskAccessProbe, DecidesByTheFirstCertainGuardedFolder) {
    const std::string_view tcc = "Library/Application Support/com.apple.TCC";
    const std::string_view safari = "Library/Safari";
    const std::string_view mail = "Library/Mail";
    // errors by folder (absent: listed); the answer, and how many folders were probed
    const std::tuple<std::map<std::string_view, int>, FullDiskAccess, size_t> cases[] = {
        {{}, FullDiskAccess::On, 4},
        {{{tcc, EPERM}}, FullDiskAccess::Off, 4},
        {{{tcc, ENOENT}, {safari, EPERM}}, FullDiskAccess::Off, 5},
        {{{tcc, ENOENT}}, FullDiskAccess::On, 5},
        {{{tcc, ENOENT}, {safari, EACCES}, {mail, EPERM}}, FullDiskAccess::Off, 6},
        {{{tcc, ENOENT}, {safari, ENOENT}, {mail, EACCES}}, FullDiskAccess::Unknown, 6},
    };
    for (const auto& [errors, access, probes] : cases) {
        std::vector<std::string> probed;
        const auto answer = detail::full_disk_access_with(
            "/Users/someone",
            [&](std::string_view base, std::string_view relative) -> std::expected<void, int> {
                EXPECT_EQ(base, "/Users/someone");
                probed.emplace_back(relative);
                if (probed.size() <= 3) {
                    return std::unexpected(EPERM);  // the first three never decide
                }
                const auto error = errors.find(relative);
                return error == errors.end() ? std::expected<void, int>{}
                                             : std::unexpected(error->second);
            });
        EXPECT_EQ(answer, access) << probes;
        ASSERT_EQ(probed.size(), probes);
        EXPECT_EQ(
            std::vector(probed.begin(), probed.begin() + 4),
            (std::vector<std::string>{"Desktop", "Documents", "Downloads", std::string(tcc)}));
    }
}

}  // namespace
}  // namespace bramwex::core::sys
