// The two-stage check of a saved-scan file before it is read in place: first
// the frame (magic, version, CRC, every region inside the file, aligned and in
// the writer's order), then the archive's own consistency (parents before
// children, name ids and name ends in range, file folders in range). A file
// that passes can be read without any further bounds checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/store/saved_scan_format.hpp"

namespace bramwex::core {

// The regions of a checked file, pointing into its bytes (which must outlive it).
struct ScanArchive {
    uint8_t flags = 0;  // header flags (kScanHasReclaimable, kScanStopped)
    std::string_view root_path;
    std::span<const StoredFolderRecord> folders;
    std::string_view name_bytes;
    std::span<const uint32_t> name_ends;  // K entries, the first 0
    std::span<const StoredFileRecord> files;
    std::span<const uint64_t> reclaimable;  // the folder count, or empty

    bool has_reclaimable() const { return (flags & kScanHasReclaimable) != 0; }
    bool stopped() const { return (flags & kScanStopped) != 0; }
};

// The name bytes of a file record of a checked archive.
std::string_view stored_file_name(const StoredFileRecord& record);

// The archive of a valid file; nothing when any test fails (no reason is
// kept). The bytes must start on a 16-byte boundary.
std::optional<ScanArchive> check_scan_file(std::span<const std::byte> bytes);

// The second stage, on an archive whose regions passed the first.
bool archive_is_consistent(const ScanArchive& archive);

}  // namespace bramwex::core
