#include "core/base/fatal.hpp"

namespace bramwex::core {

void fatal(std::string message) {
    throw Fatal(message);
}

}  // namespace bramwex::core
