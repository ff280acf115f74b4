#include "core/base/atomic_write.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/read_whole_file.hpp"
#include "core/store/check_scan_file.hpp"
#include "core/store/serialize_tree.hpp"
#include "tests/temp_dir.hpp"
#include "tests/tree_sketch.hpp"

namespace bramwex::core {
namespace {

using test::TempDir;

std::span<const std::byte> bytes_of(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StoreAtomicWrite, ReplacesTheFileWholeAndPrivately) {
    const TempDir temp;
    const std::string path = temp / "out";
    ASSERT_TRUE(write_atomically(path, bytes_of("first version")).has_value());
    ASSERT_TRUE(write_atomically(path, bytes_of("2nd")).has_value());
    ASSERT_TRUE(write_atomically(temp / "empty", {}).has_value());
    EXPECT_EQ(read_file(path), "2nd");
    EXPECT_EQ(read_file(temp / "empty"), "");
    EXPECT_EQ(test::lstat_of(path).st_mode & 0777, 0600u);
    EXPECT_EQ(names_in(temp.path()), (std::vector<std::string>{"empty", "out"}));
}

TEST(StoreAtomicWrite, FailuresRemoveTheTemporaryAndKeepTheFile) {
    const TempDir temp;
    const std::string path = temp / "out";
    // What a killed save of an earlier process with this process id left: it
    // neither blocks this save nor is this save's to remove.
    const std::string leftover = path + "." + std::to_string(::getpid()) + ".tmp";
    std::ofstream(leftover) << "left over";
    ASSERT_TRUE(write_atomically(path, bytes_of("new")).has_value());
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(read_file(leftover), "left over");
    std::filesystem::remove(leftover);

    test::make_dirs(temp / "dir/inside");  // a non-empty folder cannot be replaced by a file
    EXPECT_EQ(write_atomically(temp / "dir", bytes_of("x")).error().code, EISDIR);
    EXPECT_EQ(names_in(temp.path()), (std::vector<std::string>{"dir", "out"}));
    EXPECT_EQ(write_atomically(temp / "missing/out", bytes_of("x")).error().code, ENOENT);
}

// Two processes and, in this one, two threads keep replacing one file with
// two scans of different sizes while it is read: every read is one of them.
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

    constexpr int kRounds = 60;
    const auto save_rounds = [&](int first) {
        bool ok = true;
        for (int round = 0; round < kRounds; ++round) {
            ok &= write_atomically(path, versions[(first + round) % 2].bytes()).has_value();
        }
        return ok;
    };
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::_exit(save_rounds(child) ? 0 : 1);
        }
        children.push_back(pid);
    }
    std::atomic<int> running = 2;
    std::atomic<bool> threads_ok = true;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 2; ++thread) {
        threads.emplace_back([&, thread] {
            threads_ok = save_rounds(thread) && threads_ok;
            --running;
        });
    }

    // Read until every writer is done; children are reaped as they end.
    std::vector<std::optional<int>> statuses(children.size());
    size_t exited = 0;
    int reads = 0;
    int torn = 0;
    while (running > 0 || exited < children.size()) {
        const auto read = read_whole_file(path);
        ++reads;
        torn += !read || !*read || !check_scan_file((*read)->bytes()).has_value();
        for (size_t k = 0; k < children.size(); ++k) {
            int status = 0;
            if (!statuses[k] && ::waitpid(children[k], &status, WNOHANG) == children[k]) {
                statuses[k] = status;
                ++exited;
            }
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::optional<int>& status : statuses) {
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    }
    EXPECT_TRUE(threads_ok);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(names_in(temp.path()), std::vector<std::string>{"shared.scan"});
}

}  // namespace
}  // namespace bramwex::core
