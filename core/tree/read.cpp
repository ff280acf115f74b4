#include "core/tree/read.hpp"

#include <cerrno>

#include <fmt/format.h>

namespace bramwex::core {

std::optional<std::string> error_text_of_record(const FolderRecord& record) {
    if (!(record.flags & kFlagUnreadable)) {
        return std::nullopt;
    }
    switch (record.error_number) {
        case EACCES:
            return "EACCES";
        case EPERM:
            return "EPERM";
        default:
            return fmt::format("errno {}", record.error_number);
    }
}

}  // namespace bramwex::core
