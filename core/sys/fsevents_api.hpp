// The event-stream function table, filled once per process at run time. The
// frameworks are opened by path and their functions looked up by name, so
// the engine runs where they are missing. On Linux the frameworks never
// open and the table comes from our inotify stand-in (linux_inotify_api);
// when that cannot run either, no table exists and live following polls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "core/sys/fsevents_types.hpp"

namespace bramwex::core::sys {

// Slots 1 to 13 in the frameworks' order, then the three queue calls the
// stream's teardown needs (found through the same lookup).
struct FsEventsApi {
    FsEventStreamRef (*stream_create)(CfAllocatorRef allocator, FsEventStreamCallback callback,
                                      FsEventStreamContext* context, CfArrayRef paths,
                                      FsEventStreamEventId since, double latency_seconds,
                                      uint32_t flags) = nullptr;
    void (*stream_set_dispatch_queue)(FsEventStreamRef stream, DispatchQueueRef queue) = nullptr;
    CfBoolean (*stream_start)(FsEventStreamRef stream) = nullptr;
    void (*stream_stop)(FsEventStreamRef stream) = nullptr;
    void (*stream_flush_sync)(FsEventStreamRef stream) = nullptr;
    void (*stream_invalidate)(FsEventStreamRef stream) = nullptr;
    void (*stream_release)(FsEventStreamRef stream) = nullptr;
    FsEventStreamEventId (*get_current_event_id)() = nullptr;
    CfUuidRef (*copy_uuid_for_device)(dev_t device) = nullptr;
    CfStringRef (*string_create_with_file_system_representation)(CfAllocatorRef allocator,
                                                                 const char* path) = nullptr;
    CfArrayRef (*array_create)(CfAllocatorRef allocator, const void** values, CfIndex count,
                               const CfArrayCallBacks* callbacks) = nullptr;
    void (*release)(CfTypeRef object) = nullptr;
    const CfArrayCallBacks* type_array_callbacks = nullptr;

    DispatchQueueRef (*queue_create)(const char* label, DispatchQueueAttr attr) = nullptr;
    void (*queue_sync_f)(DispatchQueueRef queue, void* context, DispatchFunction work) = nullptr;
    void (*queue_release)(DispatchQueueRef queue) = nullptr;

    // True for the inotify stand-in, false for the frameworks.
    bool stand_in = false;
};

// The process's table, loaded on first call (concurrent first callers wait
// for that load and share it); nullptr when no event stream can run.
const FsEventsApi* fsevents_api();

// The current event id when a table is loaded, else 0 (what a scan records
// as the point its live stream replays from).
FsEventStreamEventId current_event_id();

// Whether the stream reports changes on this device: a UUID comes back (and
// is released at once).
bool device_has_uuid(const FsEventsApi& api, dev_t device);

namespace detail {

// How the loader reaches libraries; the real one is dlopen and dlsym.
struct SymbolSource {
    void* (*open)(const char* path, int mode) = nullptr;
    void* (*symbol)(void* library, const char* name) = nullptr;
};

const SymbolSource& dynamic_linker();

inline constexpr const char* kCoreServicesPath =
    "/System/Library/Frameworks/CoreServices.framework/CoreServices";
inline constexpr const char* kCoreFoundationPath =
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
inline constexpr int kOpenMode = 5;  // lazy binding, local symbols

// The frameworks' table, or none at the first library or symbol that is
// missing; libraries opened on the way stay open.
std::optional<FsEventsApi> load_frameworks(const SymbolSource& source);

// A once-only cell around a loader: the loader runs on the first get, every
// later get returns what it gave.
class ApiCell {
  public:
    explicit ApiCell(std::function<std::optional<FsEventsApi>()> loader)
        : loader_(std::move(loader)) {}
    const FsEventsApi* get();

  private:
    std::function<std::optional<FsEventsApi>()> loader_;
    std::once_flag once_;
    std::optional<FsEventsApi> table_;
};

}  // namespace detail

}  // namespace bramwex::core::sys
