// The inode flags Linux keeps beside a folder's mode (the letters chattr sets).
// The immutable flag is how a folder is kept from being changed or deleted
// here, even by root, so it is what marks a folder as protected by the system.
#pragma once

#include <string>

namespace bramwex::core::sys {

// Whether the folder at path (a link at the path itself is not followed)
// carries the immutable flag; any failure, and a file system that does not
// report the flag, counts as no. Read from the folder's attributes, never by
// opening it: a folder nobody may open still tells, and no descriptor is spent.
bool is_immutable_folder(const std::string& path);

}  // namespace bramwex::core::sys
