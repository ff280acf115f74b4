// EINTR is retried by every system call of the inotify stand-in.
#pragma once

#include <cerrno>

namespace bramwex::core::sys::inotify {

// Calls call until it returns something other than a negative result with
// errno EINTR.
template <class Call>
auto retrying(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace bramwex::core::sys::inotify
