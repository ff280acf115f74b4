// Relative paths pinned to the working folder, for what outlives the moment
// it was given: a later change of the working folder must not move it.
#pragma once

#include <string>
#include <string_view>

namespace bramwex::core {

// The path joined to the working folder, leading "." components dropped; an
// absolute or empty path as it is, and also a relative one when the working
// folder cannot be read (it was removed): the caller then acts on it as given.
std::string pinned_to_working_folder(std::string_view path);

}  // namespace bramwex::core
