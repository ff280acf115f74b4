// The two readers behind read_dir_entries, and the record format the bulk
// reader parses. Internal to the platform layer; exposed so that tests can
// swap the bulk-listing call for one that fails or returns crafted records.
//
// A bulk listing call fills the caller's buffer with records laid out at fixed
// offsets (every requested attribute has its place, present or not):
//
//   0  u32      record length (the next record starts that many bytes later)
//   4  5 x u32  returned attributes: common, volume, directory, file, fork
//   24 u32      error of this entry (0 = none)
//   28 i32 u32  name reference: offset of the name from byte 28, length
//   36 u32      device
//   40 u32      object type
//   44 u64      file id
//   52 u32      mount status (folders) or link count (everything else)
//   56 u64      allocated size
//   64 u64      private size (private reclaimable mode only)
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "core/sys/dirread.hpp"

namespace bramwex::core::sys::detail {

// The attribute request handed to a bulk listing call.
struct AttrList {
    uint16_t bitmap_count = 0;
    uint16_t reserved = 0;
    uint32_t common = 0;
    uint32_t volume = 0;
    uint32_t directory = 0;
    uint32_t file = 0;
    uint32_t fork = 0;
};

inline constexpr uint16_t kAttrBitmapCount = 5;

// Common attributes.
inline constexpr uint32_t kAttrCommonName = 0x00000001;
inline constexpr uint32_t kAttrCommonDevice = 0x00000002;
inline constexpr uint32_t kAttrCommonObjectType = 0x00000008;
inline constexpr uint32_t kAttrCommonFileId = 0x02000000;
inline constexpr uint32_t kAttrCommonError = 0x20000000;
inline constexpr uint32_t kAttrCommonReturned = 0x80000000;
inline constexpr uint32_t kAttrCommonRequested = kAttrCommonReturned | kAttrCommonError |
                                                 kAttrCommonFileId | kAttrCommonObjectType |
                                                 kAttrCommonDevice | kAttrCommonName;
// Directory attributes.
inline constexpr uint32_t kAttrDirAllocSize = 0x00000004;
inline constexpr uint32_t kAttrDirMountStatus = 0x00000008;
inline constexpr uint32_t kAttrDirRequested = kAttrDirMountStatus | kAttrDirAllocSize;
// File attributes.
inline constexpr uint32_t kAttrFileLinkCount = 0x00000001;
inline constexpr uint32_t kAttrFileAllocSize = 0x00000004;
inline constexpr uint32_t kAttrFileRequested = kAttrFileLinkCount | kAttrFileAllocSize;
// Extended common attributes, carried in the fork word.
inline constexpr uint32_t kAttrExtPrivateSize = 0x00000008;

// Listing options.
inline constexpr uint64_t kOptionPackInvalid = 0x8;
inline constexpr uint64_t kOptionCommonExtended = 0x20;

// Mount status bits of a folder.
inline constexpr uint32_t kMountStatusMountPoint = 0x1;
inline constexpr uint32_t kMountStatusTrigger = 0x2;

// Object types.
inline constexpr uint32_t kObjectNone = 0;
inline constexpr uint32_t kObjectRegular = 1;
inline constexpr uint32_t kObjectDirectory = 2;
inline constexpr uint32_t kObjectBlock = 3;
inline constexpr uint32_t kObjectCharacter = 4;
inline constexpr uint32_t kObjectSymlink = 5;
inline constexpr uint32_t kObjectSocket = 6;
inline constexpr uint32_t kObjectFifo = 7;

// Record offsets.
inline constexpr size_t kRecordReturnedAt = 4;
inline constexpr size_t kRecordErrorAt = 24;
inline constexpr size_t kRecordNameRefAt = 28;
inline constexpr size_t kRecordDeviceAt = 36;
inline constexpr size_t kRecordObjectTypeAt = 40;
inline constexpr size_t kRecordFileIdAt = 44;
inline constexpr size_t kRecordMountOrLinksAt = 52;
inline constexpr size_t kRecordAllocatedAt = 56;
inline constexpr size_t kRecordPrivateAt = 64;
inline constexpr size_t kRecordFixedSize = 64;  // plus 8 in private mode

// Every thread's listing buffer holds this many bytes.
inline constexpr size_t kBulkBufferSize = 262144;

// Fills buffer with records of the directory open on fd, continuing where the
// previous call on that descriptor stopped. Returns the record count, 0 at the
// end, or -1 with errno set.
using BulkListFn = int (*)(int fd, const AttrList& attrs, void* buffer, size_t size,
                           uint64_t options);

// The Linux stand-in, built from getdents64 and fstatat (linux_bulk_list.cpp).
int linux_bulk_list(int fd, const AttrList& attrs, void* buffer, size_t size, uint64_t options);

// The attribute request and options a bulk listing uses in the given mode.
AttrList bulk_attr_list(ReclaimableMode mode);
uint64_t bulk_options(ReclaimableMode mode);

// One parsed record: its name points into the record. status is one of the
// kStatus values; fields other than name and kind are meaningful only for
// statuses 0 and 1.
using ParsedRecord = DirEntry;
ParsedRecord parse_bulk_record(std::span<const std::byte> record, ReclaimableMode mode);

// Both ask stop before handing on every batch but the first.
std::expected<Listed, int> read_dir_entries_bulk(int fd, ReclaimableMode mode, DirSink sink,
                                                 StopCheck stop, BulkListFn list = linux_bulk_list);
std::expected<Listed, int> read_dir_entries_portable(int fd, ReclaimableMode mode, DirSink sink,
                                                     StopCheck stop);

}  // namespace bramwex::core::sys::detail
