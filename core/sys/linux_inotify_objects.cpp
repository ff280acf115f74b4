#include "core/sys/linux_inotify_objects.hpp"

#include "core/base/fatal.hpp"

namespace bramwex::core::sys {

namespace inotify {

const CfArrayCallBacks kTypeArrayCallBacks{true};

void Object::release() const {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

ArrayObject::ArrayObject(std::vector<const Object*> values, bool retains)
    : values_(std::move(values)), retains_(retains) {
    if (retains_) {
        for (const Object* value : values_) {
            value->retain();
        }
    }
}

ArrayObject::~ArrayObject() {
    if (retains_) {
        for (const Object* value : values_) {
            value->release();
        }
    }
}

CfStringRef create_string(CfAllocatorRef /*allocator*/, const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    return static_cast<const Object*>(new StringObject(path));
}

CfArrayRef create_array(CfAllocatorRef /*allocator*/, const void** values, CfIndex count,
                        const CfArrayCallBacks* callbacks) {
    if (count < 0 || (count > 0 && values == nullptr)) {
        return nullptr;
    }
    std::vector<const Object*> objects;
    objects.reserve(static_cast<size_t>(count));
    for (CfIndex i = 0; i < count; ++i) {
        objects.push_back(static_cast<const Object*>(values[i]));
    }
    const bool retains = callbacks != nullptr && callbacks->retains_values;
    return static_cast<const Object*>(new ArrayObject(std::move(objects), retains));
}

void release_object(CfTypeRef object) {
    if (object == nullptr) {
        fatal("internal error: release of a null object");
    }
    static_cast<const Object*>(object)->release();
}

DispatchQueueRef create_queue(const char* label, DispatchQueueAttr attr) {
    if (attr != nullptr) {
        return nullptr;  // only serial queues stand in
    }
    return static_cast<Object*>(new SerialQueue(label != nullptr ? label : ""));
}

void queue_sync(DispatchQueueRef queue, void* context, DispatchFunction work) {
    auto* serial = static_cast<SerialQueue*>(static_cast<Object*>(queue));
    std::lock_guard running(serial->running());
    work(context);
}

void release_queue(DispatchQueueRef queue) {
    static_cast<Object*>(queue)->release();
}

}  // namespace inotify

}  // namespace bramwex::core::sys
