// Our own declarations of the few event-stream and object-runtime types the
// engine passes through the function table: opaque references, the stream's
// context record and callback, and the flag bits it reads. Nothing here is
// linked; every function is reached through FsEventsApi.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace bramwex::core::sys {

// Opaque object references; only the library that made them looks inside.
using CfTypeRef = const void*;
using CfAllocatorRef = const void*;  // nullptr is the default allocator
using CfStringRef = const void*;
using CfArrayRef = const void*;
using CfUuidRef = const void*;
using CfIndex = long;
using CfBoolean = unsigned char;
struct CfArrayCallBacks;  // a data symbol; only its address is passed on

using FsEventStreamRef = void*;
using ConstFsEventStreamRef = const void*;
using FsEventStreamEventId = uint64_t;
using FsEventStreamEventFlags = uint32_t;

using DispatchQueueRef = void*;
using DispatchQueueAttr = void*;  // nullptr asks for a serial queue
using DispatchFunction = void (*)(void* context);

// The context record handed to stream creation; version 0 only.
struct FsEventStreamContext {
    CfIndex version = 0;
    void* info = nullptr;  // given back to every callback
    const void* (*retain)(const void* info) = nullptr;
    void (*release)(const void* info) = nullptr;
    CfStringRef (*copy_description)(const void* info) = nullptr;
};

// Paths arrive as an array of C strings (the stream is created without the
// object-type flag); flags and ids as arrays of count words.
using FsEventStreamCallback = void (*)(ConstFsEventStreamRef stream, void* info, size_t count,
                                       void* paths, const FsEventStreamEventFlags* flags,
                                       const FsEventStreamEventId* ids);

// Creation flags.
inline constexpr uint32_t kCreateFlagNoDefer = 0x02;     // a change after quiet comes at once
inline constexpr uint32_t kCreateFlagWatchRoot = 0x04;   // report the root moving or vanishing
inline constexpr uint32_t kCreateFlagFileEvents = 0x10;  // one event per file, not per folder

// Event flags.
inline constexpr FsEventStreamEventFlags kEventFlagMustScanSubDirs = 0x01;
inline constexpr FsEventStreamEventFlags kEventFlagUserDropped = 0x02;
inline constexpr FsEventStreamEventFlags kEventFlagKernelDropped = 0x04;
inline constexpr FsEventStreamEventFlags kEventFlagEventIdsWrapped = 0x08;
inline constexpr FsEventStreamEventFlags kEventFlagHistoryDone = 0x10;
inline constexpr FsEventStreamEventFlags kEventFlagRootChanged = 0x20;

// What live following asks of every stream.
inline constexpr uint32_t kStreamFlags =
    kCreateFlagNoDefer | kCreateFlagWatchRoot | kCreateFlagFileEvents;
inline constexpr double kStreamLatencySeconds = 0.05;
inline constexpr const char* kStreamQueueLabel = "bramwex.fsevents";

}  // namespace bramwex::core::sys
