#include "core/error.hpp"

#include <fmt/format.h>

namespace bramwex::core {

std::string Error::to_string() const {
    if (code == 0) {
        return message;
    }
    const char* text = std::strerror(code);
    return path.empty() ? fmt::format("{} (os error {})", text, code)
                        : fmt::format("{}: {} (os error {})", path, text, code);
}

}  // namespace bramwex::core
