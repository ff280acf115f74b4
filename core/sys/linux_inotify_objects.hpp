// The objects the inotify stand-in hands out where the frameworks hand out
// reference-counted objects: path strings, arrays of them, device UUIDs and
// serial queues. Counts are atomic; the last release deletes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/sys/fsevents_types.hpp"

namespace bramwex::core::sys {

// Our array callbacks: an array made with them retains its values.
struct CfArrayCallBacks {
    bool retains_values = true;
};

namespace inotify {

class Object {
  public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() = default;

    void retain() const { references_.fetch_add(1, std::memory_order_relaxed); }
    void release() const;

  private:
    mutable std::atomic<uint32_t> references_{1};
};

class StringObject : public Object {
  public:
    explicit StringObject(std::string bytes) : bytes_(std::move(bytes)) {}
    const std::string& bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

class ArrayObject : public Object {
  public:
    ArrayObject(std::vector<const Object*> values, bool retains);
    ~ArrayObject() override;
    const std::vector<const Object*>& values() const { return values_; }

  private:
    std::vector<const Object*> values_;
    bool retains_;
};

class UuidObject : public Object {
  public:
    explicit UuidObject(dev_t device) : device_(device) {}
    dev_t device() const { return device_; }

  private:
    dev_t device_;
};

// A serial queue: work runs on it one call at a time, under `running`.
class SerialQueue : public Object {
  public:
    explicit SerialQueue(std::string label) : label_(std::move(label)) {}
    const std::string& label() const { return label_; }
    std::mutex& running() { return running_; }

  private:
    std::string label_;
    std::mutex running_;
};

extern const CfArrayCallBacks kTypeArrayCallBacks;

CfStringRef create_string(CfAllocatorRef allocator, const char* path);
CfArrayRef create_array(CfAllocatorRef allocator, const void** values, CfIndex count,
                        const CfArrayCallBacks* callbacks);
void release_object(CfTypeRef object);

DispatchQueueRef create_queue(const char* label, DispatchQueueAttr attr);
// Runs work once every call already running on the queue has returned.
void queue_sync(DispatchQueueRef queue, void* context, DispatchFunction work);
void release_queue(DispatchQueueRef queue);

}  // namespace inotify

}  // namespace bramwex::core::sys
