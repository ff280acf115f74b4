#include "core/fatal.hpp"

namespace bramwex::core {

void fatal(std::string message) {
    throw Fatal(message);
}

}  // namespace bramwex::core
