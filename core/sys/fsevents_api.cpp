#include "core/sys/fsevents_api.hpp"

#include <dlfcn.h>

#include "core/sys/linux_inotify_api.hpp"

namespace bramwex::core::sys {

namespace detail {

namespace {

void* open_library(const char* path, int mode) {
    return ::dlopen(path, mode);
}

void* find_symbol(void* library, const char* name) {
    return ::dlsym(library, name);
}

// Stores the symbol into slot when found; the lookup stops at the first miss.
template <class Slot>
bool look_up(const SymbolSource& source, void* library, const char* name, Slot& slot) {
    void* found = source.symbol(library, name);
    if (found == nullptr) {
        return false;
    }
    slot = reinterpret_cast<Slot>(found);
    return true;
}

}  // namespace

const SymbolSource& dynamic_linker() {
    static const SymbolSource source{&open_library, &find_symbol};
    return source;
}

std::optional<FsEventsApi> load_frameworks(const SymbolSource& source) {
    void* services = source.open(kCoreServicesPath, kOpenMode);
    if (services == nullptr) {
        return std::nullopt;
    }
    void* foundation = source.open(kCoreFoundationPath, kOpenMode);
    if (foundation == nullptr) {
        return std::nullopt;
    }
    FsEventsApi api;
    const bool found =
        look_up(source, services, "FSEventStreamCreate", api.stream_create) &&
        look_up(source, services, "FSEventStreamSetDispatchQueue", api.stream_set_dispatch_queue) &&
        look_up(source, services, "FSEventStreamStart", api.stream_start) &&
        look_up(source, services, "FSEventStreamStop", api.stream_stop) &&
        look_up(source, services, "FSEventStreamFlushSync", api.stream_flush_sync) &&
        look_up(source, services, "FSEventStreamInvalidate", api.stream_invalidate) &&
        look_up(source, services, "FSEventStreamRelease", api.stream_release) &&
        look_up(source, services, "FSEventsGetCurrentEventId", api.get_current_event_id) &&
        look_up(source, services, "FSEventsCopyUUIDForDevice", api.copy_uuid_for_device) &&
        look_up(source, foundation, "kCFTypeArrayCallBacks", api.type_array_callbacks) &&
        look_up(source, foundation, "CFStringCreateWithFileSystemRepresentation",
                api.string_create_with_file_system_representation) &&
        look_up(source, foundation, "CFArrayCreate", api.array_create) &&
        look_up(source, foundation, "CFRelease", api.release) &&
        // The queue calls live in the system library both frameworks load;
        // a lookup through a framework's handle searches its dependencies.
        look_up(source, services, "dispatch_queue_create", api.queue_create) &&
        look_up(source, services, "dispatch_sync_f", api.queue_sync_f) &&
        look_up(source, services, "dispatch_release", api.queue_release);
    if (!found) {
        return std::nullopt;
    }
    return api;
}

const FsEventsApi* ApiCell::get() {
    std::call_once(once_, [this] { table_ = loader_(); });
    return table_ ? &*table_ : nullptr;
}

}  // namespace detail

const FsEventsApi* fsevents_api() {
    static detail::ApiCell cell([]() -> std::optional<FsEventsApi> {
        if (auto frameworks = detail::load_frameworks(detail::dynamic_linker())) {
            return frameworks;
        }
        return inotify_api();
    });
    return cell.get();
}

FsEventStreamEventId current_event_id() {
    const FsEventsApi* api = fsevents_api();
    return api == nullptr ? 0 : api->get_current_event_id();
}

bool device_has_uuid(const FsEventsApi& api, dev_t device) {
    const CfUuidRef uuid = api.copy_uuid_for_device(device);
    if (uuid == nullptr) {
        return false;
    }
    api.release(uuid);
    return true;
}

}  // namespace bramwex::core::sys
