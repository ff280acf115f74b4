// The fixed-size records every tree is made of: folder ids, folder records
// and the largest files, plus the flag bits of a folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bramwex::core {

inline constexpr uint32_t kNoParent = 0xFFFFFFFF;

// Flag bits of a folder record (bit 2 only ever in the derived flags).
inline constexpr uint16_t kFlagUnreadable = 1;
inline constexpr uint16_t kFlagOtherDevice = 2;
inline constexpr uint16_t kFlagPartial = 4;
inline constexpr uint16_t kFlagRemoved = 8;

// The handle of one folder: its index and the generation of the tree it came
// from (0 is accepted by every tree).
struct FolderId {
    uint32_t index = 0;
    uint32_t generation = 0;
    friend bool operator==(FolderId, FolderId) = default;
};

struct FolderRecord {
    uint64_t own = 0;             // allocated bytes of the files directly inside
    uint32_t parent = kNoParent;  // always below the folder's own index; none for folder 0
    uint32_t name_id = 0;         // 0 only for folder 0 (the root path)
    uint32_t file_id = 0;         // low 32 bits of the inode number; 0 may mean unknown
    uint16_t flags = 0;           // kFlag* bits
    uint16_t error_number = 0;    // errno that made it unreadable (with kFlagUnreadable)
    friend bool operator==(const FolderRecord&, const FolderRecord&) = default;
};
static_assert(sizeof(FolderRecord) == 24, "a folder costs 24 bytes");

// One of the largest files of the scan (at most 1000 per tree).
struct FileRecord {
    std::string name;     // as listed, not necessarily UTF-8
    uint64_t size = 0;    // allocated bytes counted for it
    uint32_t folder = 0;  // index of the folder holding it
    friend bool operator==(const FileRecord&, const FileRecord&) = default;
};

// A file record as a reader sees it, whether it lives in memory or in a saved scan.
struct FileView {
    std::string_view name;
    uint64_t size = 0;
    uint32_t folder = 0;
};

}  // namespace bramwex::core
