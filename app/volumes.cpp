#include "app/volumes.hpp"

#include <algorithm>
#include <array>

namespace bramwex::app {

namespace {

// Splits off the next component, skipping repeated slashes; "" at the end.
std::string_view next_component(std::string_view& rest) {
    while (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
    }
    const size_t end = std::min(rest.find('/'), rest.size());
    const std::string_view component = rest.substr(0, end);
    rest.remove_prefix(end);
    return component;
}

bool is_root(std::string_view point) {
    return !point.empty() && point.find_first_not_of('/') == std::string_view::npos;
}

bool kept(const core::sys::Mount& mount) {
    constexpr std::array<std::string_view, 5> kNotBrowsed = {"tmpfs", "overlay", "devtmpfs",
                                                             "squashfs", "efivarfs"};
    if (is_root(mount.point)) {
        return true;
    }
    return !mount.hidden && mount.total != 0 &&
           std::find(kNotBrowsed.begin(), kNotBrowsed.end(), mount.fs) == kNotBrowsed.end();
}

}  // namespace

bool path_less(std::string_view a, std::string_view b) {
    // An absolute path sorts before a relative one, as its root component does.
    const bool a_absolute = !a.empty() && a.front() == '/';
    const bool b_absolute = !b.empty() && b.front() == '/';
    if (a_absolute != b_absolute) {
        return a_absolute;
    }
    for (;;) {
        const std::string_view x = next_component(a);
        const std::string_view y = next_component(b);
        if (x.empty() || y.empty()) {
            return x.empty() && !y.empty();
        }
        if (x != y) {
            return x < y;
        }
    }
}

std::vector<core::sys::Mount> filter_volumes(std::vector<core::sys::Mount> mounts) {
    std::erase_if(mounts, [](const core::sys::Mount& mount) { return !kept(mount); });
    std::stable_sort(mounts.begin(), mounts.end(),
                     [](const core::sys::Mount& a, const core::sys::Mount& b) {
                         return path_less(a.point, b.point);
                     });
    return mounts;
}

}  // namespace bramwex::app
