// The volume list the app shows: the mounts a user would browse, in path
// order.
#pragma once

#include <string_view>
#include <vector>

#include "core/sys/mounts.hpp"

namespace bramwex::app {

// Drops hidden and empty mounts and the memory-backed and image file systems
// (the root is always kept), then sorts stably by mount point in path order.
std::vector<core::sys::Mount> filter_volumes(std::vector<core::sys::Mount> mounts);

// Path order: component by component, bytes within a component.
bool path_less(std::string_view a, std::string_view b);

}  // namespace bramwex::app
