// The one way out for a broken contract or internal limit: every such failure
// goes through `fatal`, which throws `Fatal`. The command line turns it into
// "bramwex: fatal: ..." and exit 101; the Python module into its panic exception.
#pragma once

#include <fmt/format.h>

#include <stdexcept>
#include <string>

namespace bramwex::core {

class Fatal : public std::runtime_error {
  public:
    explicit Fatal(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void fatal(std::string message);

template <class... Args>
[[noreturn]] void fatal(fmt::format_string<Args...> format, Args&&... args) {
    fatal(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace bramwex::core
