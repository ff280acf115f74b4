// How many more threads the process can start now. The limits that stop one
// (address space, a count of processes or threads, memory) are too many to
// work out, so the count is found by starting them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bramwex::core::sys {

// Starts up to `wanted` threads with stacks of `stack_size` bytes (0: the
// default), all alive at once while `keep_free` more bytes of address space
// are held, then ends them and returns how many started (0 when those bytes
// cannot be had).
uint32_t startable_threads(uint32_t wanted, size_t stack_size, size_t keep_free);

}  // namespace bramwex::core::sys
