// The inode flags Linux keeps beside a folder's mode (the letters chattr sets).
// The immutable flag is how a folder is kept from being changed or deleted
// here, even by root, so it is what marks a folder as protected by the system.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace bramwex::core::sys {

// FS_IOC_GETFLAGS of the folder at path, opened read-only without following
// a link at the path itself. ENOTTY or EOPNOTSUPP where the file system keeps
// no flags; ENOTDIR or ELOOP for anything but a folder.
std::expected<uint32_t, int> folder_inode_flags(const std::string& path);

// Whether the folder carries the immutable flag; any failure counts as no.
bool is_immutable_folder(const std::string& path);

}  // namespace bramwex::core::sys
