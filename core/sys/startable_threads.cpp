#include "core/sys/startable_threads.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <latch>
#include <vector>

namespace bramwex::core::sys {

namespace {

extern "C" void* wait_for_release(void* release) {
    static_cast<std::latch*>(release)->wait();
    return nullptr;
}

// One probing thread on a stack of its own, which is unmapped when the thread
// has ended: stacks the C library allocated would stay cached, holding on to
// the very address space being measured.
struct ProbeThread {
    void* stack = MAP_FAILED;
    pthread_t thread{};
    bool started = false;
};

void* map_memory(size_t size) {
    return ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
}

bool start(ProbeThread& probe, size_t stack_size, std::latch& release) {
    probe.stack = map_memory(stack_size);
    if (probe.stack == MAP_FAILED) {
        return false;
    }
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        return false;
    }
    probe.started = ::pthread_attr_setstack(&attributes, probe.stack, stack_size) == 0 &&
                    ::pthread_create(&probe.thread, &attributes, wait_for_release, &release) == 0;
    ::pthread_attr_destroy(&attributes);
    return probe.started;
}

}  // namespace

uint32_t startable_threads(uint32_t wanted, size_t stack_size, size_t keep_free) {
    void* held = keep_free > 0 ? map_memory(keep_free) : nullptr;
    if (held == MAP_FAILED) {
        return 0;
    }
    pthread_attr_t defaults;
    if (stack_size == 0 && ::pthread_getattr_default_np(&defaults) == 0) {
        ::pthread_attr_getstacksize(&defaults, &stack_size);
        ::pthread_attr_destroy(&defaults);
    }
    // The guard page the C library would add below a stack of its own.
    stack_size += static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::latch release(1);
    std::vector<ProbeThread> probes(wanted);
    uint32_t started = 0;
    while (started < wanted && start(probes[started], stack_size, release)) {
        ++started;
    }
    release.count_down();
    for (ProbeThread& probe : probes) {
        if (probe.started) {
            ::pthread_join(probe.thread, nullptr);
        }
        if (probe.stack != MAP_FAILED) {
            ::munmap(probe.stack, stack_size);
        }
    }
    if (held != nullptr) {
        ::munmap(held, keep_free);
    }
    return started;
}

}  // namespace bramwex::core::sys
