#include "core/sys/linux_inotify_api.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <mutex>

#include "core/sys/linux_inotify_device.hpp"
#include "core/sys/linux_inotify_ids.hpp"
#include "core/sys/linux_inotify_objects.hpp"
#include "core/sys/linux_inotify_stream.hpp"

namespace bramwex::core::sys {

namespace {

using inotify::InotifyStream;

std::mutex settings_mutex;
detail::InotifySettings current_settings;

detail::InotifySettings settings_now() {
    std::lock_guard lock(settings_mutex);
    return current_settings;
}

InotifyStream* as_stream(FsEventStreamRef stream) {
    return static_cast<InotifyStream*>(stream);
}

// One path only: live following watches one root per stream.
FsEventStreamRef stream_create(CfAllocatorRef /*allocator*/, FsEventStreamCallback callback,
                               FsEventStreamContext* context, CfArrayRef paths,
                               FsEventStreamEventId since, double latency_seconds, uint32_t flags) {
    if (callback == nullptr || context == nullptr || context->version != 0 || paths == nullptr) {
        return nullptr;
    }
    const auto* array =
        static_cast<const inotify::ArrayObject*>(static_cast<const inotify::Object*>(paths));
    if (array->values().size() != 1) {
        return nullptr;
    }
    const auto* path = dynamic_cast<const inotify::StringObject*>(array->values().front());
    if (path == nullptr || path->bytes().empty() || path->bytes().front() != '/') {
        return nullptr;
    }
    return new InotifyStream(callback, context->info, path->bytes(), since, latency_seconds, flags,
                             settings_now());
}

void stream_set_dispatch_queue(FsEventStreamRef stream, DispatchQueueRef queue) {
    as_stream(stream)->set_queue(
        static_cast<inotify::SerialQueue*>(static_cast<inotify::Object*>(queue)));
}

CfBoolean stream_start(FsEventStreamRef stream) {
    return as_stream(stream)->start() ? 1 : 0;
}

void stream_stop(FsEventStreamRef stream) {
    as_stream(stream)->stop();
}

void stream_flush_sync(FsEventStreamRef stream) {
    as_stream(stream)->flush_sync();
}

void stream_invalidate(FsEventStreamRef stream) {
    as_stream(stream)->invalidate();
}

void stream_release(FsEventStreamRef stream) {
    delete as_stream(stream);
}

FsEventStreamEventId get_current_event_id() {
    return inotify::next_event_id();
}

CfUuidRef copy_uuid_for_device(dev_t device) {
    if (!inotify::device_reports_changes(device)) {
        return nullptr;
    }
    return static_cast<const inotify::Object*>(new inotify::UuidObject(device));
}

bool inotify_usable() {
    if (settings_now().unavailable) {
        return false;
    }
    const int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::optional<FsEventsApi> inotify_api() {
    if (!inotify_usable()) {
        return std::nullopt;
    }
    return detail::inotify_api_unprobed();
}

namespace detail {

InotifySettings set_inotify_settings(const InotifySettings& settings) {
    std::lock_guard lock(settings_mutex);
    return std::exchange(current_settings, settings);
}

FsEventsApi inotify_api_unprobed() {
    FsEventsApi api;
    api.stream_create = &stream_create;
    api.stream_set_dispatch_queue = &stream_set_dispatch_queue;
    api.stream_start = &stream_start;
    api.stream_stop = &stream_stop;
    api.stream_flush_sync = &stream_flush_sync;
    api.stream_invalidate = &stream_invalidate;
    api.stream_release = &stream_release;
    api.get_current_event_id = &get_current_event_id;
    api.copy_uuid_for_device = &copy_uuid_for_device;
    api.string_create_with_file_system_representation = &inotify::create_string;
    api.array_create = &inotify::create_array;
    api.release = &inotify::release_object;
    api.type_array_callbacks = &inotify::kTypeArrayCallBacks;
    api.queue_create = &inotify::create_queue;
    api.queue_sync_f = &inotify::queue_sync;
    api.queue_release = &inotify::release_queue;
    api.stand_in = true;
    return api;
}

bool inject_queue_overflow(FsEventStreamRef stream) {
    return as_stream(stream)->inject_overflow();
}

size_t watch_count(FsEventStreamRef stream) {
    return as_stream(stream)->watch_count();
}

}  // namespace detail

}  // namespace bramwex::core::sys
