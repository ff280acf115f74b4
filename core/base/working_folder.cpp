#include "core/base/working_folder.hpp"

#include <unistd.h>

#include <memory>

namespace bramwex::core {

std::string pinned_to_working_folder(std::string_view path) {
    if (path.empty() || path.front() == '/') {
        return std::string(path);
    }
    const std::unique_ptr<char, decltype(&::free)> folder(::getcwd(nullptr, 0), &::free);
    if (!folder) {
        return std::string(path);
    }
    while (path == "." || path.starts_with("./")) {
        const size_t rest = path.find_first_not_of('/', 1);
        path.remove_prefix(rest == std::string_view::npos ? path.size() : rest);
    }
    std::string pinned(folder.get());
    if (!path.empty()) {
        if (!pinned.ends_with('/')) {
            pinned += '/';
        }
        pinned += path;
    }
    return pinned;
}

}  // namespace bramwex::core
