// Every system call that a signal can interrupt is simply called again.
#pragma once

#include <cerrno>

namespace bramwex::core::sys {

// Calls call until it returns something other than a negative result with
// errno EINTR, and returns that result.
template <class Call>
auto retry_on_eintr(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace bramwex::core::sys
