// Turns one open directory into a stream of entries, as fast as the file
// system allows. Two readers sit behind read_dir_entries: the bulk reader
// (many entries with their attributes per call, parsed from fixed-layout
// records) and the portable reader (readdir plus one fstatat per entry).
// EINTR is retried by every call here. Readers need no lock: each listing
// uses its own thread's buffer and the caller's descriptors.
#pragma once

#include <absl/functional/function_ref.h>

#include <cstdint>
#include <expected>
#include <string_view>

namespace bramwex::core::sys {

enum class EntryKind : uint8_t { Folder = 0, File = 1, Symlink = 2, Other = 3 };

// Where per-entry reclaimable sizes come from.
enum class ReclaimableMode : uint8_t {
    Off = 0,        // not asked for
    Private = 1,    // the bytes only this file holds (volumes that share blocks)
    Allocated = 2,  // the allocated size stands in
};

// Entry statuses; only Ordinary and MountPoint ever reach a sink.
inline constexpr uint8_t kStatusOrdinary = 0;
inline constexpr uint8_t kStatusMountPoint = 1;  // a mount point or trigger (bulk reader)
inline constexpr uint8_t kStatusSkip = 2;
inline constexpr uint8_t kStatusFolderError = 4;

struct DirEntry {
    // The name including its terminating NUL (size counts it). Valid only
    // during the sink call: a sink copies what it keeps.
    std::string_view name;
    uint64_t file_id = 0;
    uint64_t device = 0;  // widened with its sign, like the root's device
    uint64_t link_count = 0;
    uint64_t allocated = 0;    // bytes
    uint64_t reclaimable = 0;  // by ReclaimableMode
    EntryKind kind = EntryKind::Other;
    uint8_t status = kStatusOrdinary;
    // A folder that is the root of a mount, or one the kernel could not say
    // about. A bind mount keeps the device, so only such a folder can repeat
    // a folder above it.
    bool mount_root = false;

    std::string_view name_without_nul() const { return name.substr(0, name.size() - 1); }
};

struct ReadMode {
    bool bulk = false;
    ReclaimableMode reclaimable = ReclaimableMode::Off;
    friend bool operator==(ReadMode, ReadMode) = default;
};

using DirSink = absl::FunctionRef<void(const DirEntry&)>;
// Asked before each batch of entries after the first (not per entry): true
// ends the listing early.
using StopCheck = absl::FunctionRef<bool()>;

// How a listing that did not fail ended.
enum class Listed : uint8_t {
    Complete = 0,
    Stopped = 1,  // the stop check said yes; the entries after that batch were not read
};

// A device number as every stored device is kept. Linux's dev_t is already
// 64 bits wide, so it is kept whole: cutting it to 32 bits could make two
// devices compare equal.
inline uint64_t widen_device(uint64_t device) {
    return device;
}

// A 32-bit device field of a bulk record, widened with its sign.
inline uint64_t widen_device32(uint32_t device) {
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(device)));
}

// Reader and reclaimable mode for the directory's file system: bulk exactly
// when the type name is "apfs"; reclaimable Off / Private (apfs) / Allocated.
std::expected<ReadMode, int> read_mode_of_fd(int fd, bool reclaimable_asked);
ReadMode read_mode_for_type(std::string_view fs_type_name, bool reclaimable_asked);

// The kernel's name of the file system the descriptor lives on ("ext4", "tmpfs", ...).
std::expected<std::string_view, int> fs_type_name_of_fd(int fd);

// Lists the directory open on fd (which stays the caller's) and calls sink per
// entry; "." and ".." never reach it. On failure, entries already handed on stay so.
// The listing goes on from the descriptor's position and leaves it at the end,
// so each listing wants a freshly opened descriptor. A bulk listing must not be
// started from inside a sink on the same thread (fatal): the thread has one buffer.
std::expected<void, int> read_dir_entries(ReadMode mode, int fd, DirSink sink);
// The same, asking stop between batches, so that a stop lands quickly even
// inside a folder of many thousands of entries.
std::expected<Listed, int> read_dir_entries(ReadMode mode, int fd, DirSink sink, StopCheck stop);

// openat relative to dir_fd without following links (O_RDONLY|O_DIRECTORY|O_CLOEXEC|O_NOFOLLOW).
// name may carry its NUL.
std::expected<int, int> open_subdir_at(int dir_fd, std::string_view name);

// Opens a directory by path, following a link at the path itself; a path with
// a NUL byte fails with EINVAL without a call.
std::expected<int, int> open_dir_path(std::string_view path);

struct FdStat {
    uint64_t device = 0;  // widened with its sign
    uint64_t file_id = 0;
    uint64_t allocated = 0;
    bool mount_root = false;  // the root of a mount, or the kernel could not say
};
std::expected<FdStat, int> stat_fd(int fd);

}  // namespace bramwex::core::sys
