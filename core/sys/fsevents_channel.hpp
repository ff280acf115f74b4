// The hand-over of event batches from the stream's queue to the live thread.
#pragma once

#include "core/base/channel.hpp"
#include "core/sys/fsevents_event.hpp"

namespace bramwex::core::sys {

using BatchSender = ChannelSender<FsEventBatch>;
using BatchReceiver = ChannelReceiver<FsEventBatch>;

inline std::pair<BatchSender, BatchReceiver> batch_channel() {
    return make_channel<FsEventBatch>();
}

}  // namespace bramwex::core::sys
