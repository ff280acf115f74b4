// The byte layout of a saved-scan file, shared by its writer and its reader.
//
//   header   8 bytes: "BRWX", version 7, flags, u16 0
//   archive  root path; pad 8; folder records; name bytes; pad 4; name ends;
//            file name bytes; pad 8; file records; pad 8; reclaimable sizes;
//            root record (48 bytes, at a multiple of 8)
//   trailer  CRC-32 of everything before it
//
// Integers are little-endian and every array is aligned to its element size,
// so a file in a 16-byte-aligned buffer is read in place through the structs
// below. Offsets count from the position of the offset field itself, so the
// bytes need no fixing wherever they are mapped.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/tree/records.hpp"

namespace bramwex::core {

static_assert(std::endian::native == std::endian::little,
              "saved scans are little-endian and read in place");

inline constexpr char kScanMagic[4] = {'B', 'R', 'W', 'X'};
inline constexpr uint8_t kScanVersion = 7;
inline constexpr size_t kScanHeaderSize = 8;
inline constexpr size_t kScanVersionOffset = 4;
inline constexpr size_t kScanFlagsOffset = 5;
inline constexpr size_t kScanTrailerSize = 4;

// Header flag bits.
inline constexpr uint8_t kScanHasReclaimable = 1;
inline constexpr uint8_t kScanStopped = 2;

// A FolderRecord as stored: the same fields, widest last.
struct StoredFolderRecord {
    uint32_t parent = kNoParent;
    uint32_t name_id = 0;
    uint16_t flags = 0;
    uint16_t error_number = 0;
    uint32_t file_id = 0;
    uint64_t own = 0;

    operator FolderRecord() const { return {own, parent, name_id, file_id, flags, error_number}; }
};
static_assert(sizeof(StoredFolderRecord) == 24 && alignof(StoredFolderRecord) == 8);
static_assert(offsetof(StoredFolderRecord, own) == 16);

struct StoredFileRecord {
    uint64_t size = 0;
    uint32_t folder = 0;
    int32_t name_offset = 0;  // from this field to the name's first byte
    uint32_t name_length = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(StoredFileRecord) == 24 && alignof(StoredFileRecord) == 8);
inline constexpr size_t kFileNameOffsetField = offsetof(StoredFileRecord, name_offset);

// One region of the archive: offset from this field, and a length (bytes for
// byte regions, elements for arrays).
struct RegionRef {
    int32_t offset = 0;
    uint32_t length = 0;
};

struct RootRecord {
    RegionRef root_path;    // bytes
    RegionRef folders;      // StoredFolderRecord count
    RegionRef name_bytes;   // bytes
    RegionRef name_ends;    // u32 count K (names including name 0)
    RegionRef files;        // StoredFileRecord count
    RegionRef reclaimable;  // u64 count: the folder count, or 0
};
static_assert(sizeof(RootRecord) == 48 && alignof(RootRecord) == 4);

// A file's length is its root record's offset plus this.
inline constexpr size_t kRootRecordAndTrailer = sizeof(RootRecord) + kScanTrailerSize;

}  // namespace bramwex::core
