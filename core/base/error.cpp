#include "core/base/error.hpp"

#include <fmt/format.h>

namespace bramwex::core {

std::string Error::to_string() const {
    if (code == 0) {
        return message;
    }
    return fmt::format("{} (os error {})", std::strerror(code), code);
}

}  // namespace bramwex::core
