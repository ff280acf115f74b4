#include "core/sys/fsevents_event.hpp"

#include <cstring>

#include "core/base/log.hpp"
#include "core/base/utf8.hpp"
#include "core/sys/fsevents_channel.hpp"

namespace bramwex::core::sys {

namespace {

constexpr std::string_view kLogTarget = "bramwex_core::sys::fsevents";

FsEvent missed(Reason reason) {
    return FsEvent{FsEventKind::Missed, reason, {}};
}

}  // namespace

FsEvent classify_event(std::string_view path, FsEventStreamEventFlags flags) {
    if ((flags & (kEventFlagUserDropped | kEventFlagKernelDropped)) != 0) {
        if (log::would_log(log::Level::Warn)) {
            log::record(log::Level::Warn, kLogTarget, "fsevents: {} at {}",
                        (flags & kEventFlagKernelDropped) != 0 ? "KernelDropped" : "UserDropped",
                        to_utf8_lossy(path));
        }
        return missed(Reason::Dropped);
    }
    if ((flags & kEventFlagEventIdsWrapped) != 0) {
        return missed(Reason::IdsWrapped);
    }
    if ((flags & kEventFlagRootChanged) != 0) {
        return missed(Reason::RootMoved);
    }
    if ((flags & kEventFlagHistoryDone) != 0) {
        return FsEvent{FsEventKind::HistoryDone, Reason::Dropped, {}};
    }
    if ((flags & kEventFlagMustScanSubDirs) != 0) {
        return FsEvent{FsEventKind::MustScan, Reason::Dropped, std::string(path)};
    }
    return FsEvent{FsEventKind::Changed, Reason::Dropped, std::string(path)};
}

void fsevents_callback(ConstFsEventStreamRef /*stream*/, void* info, size_t count, void* paths,
                       const FsEventStreamEventFlags* flags, const FsEventStreamEventId* /*ids*/) {
    if (count == 0) {
        return;
    }
    const auto* const* path_array = static_cast<const char* const*>(paths);
    FsEventBatch batch;
    batch.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        batch.push_back(classify_event(std::string_view(path_array[i]), flags[i]));
    }
    static_cast<const BatchSender*>(info)->send(std::move(batch));
}

}  // namespace bramwex::core::sys
