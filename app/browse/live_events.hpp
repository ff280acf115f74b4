// How the live thread's items reach a browser: an event sink that queues each
// item on the browser's channel and wakes the app loop.
#pragma once

#include <functional>
#include <memory>

#include "core/base/channel.hpp"
#include "core/live/live.hpp"

namespace bramwex::app {

class BrowserSink : public core::EventSink {
  public:
    BrowserSink(core::ChannelSender<core::LiveItem> sender,
                std::shared_ptr<std::function<void()>> waker)
        : sender_(std::move(sender)), waker_(std::move(waker)) {}
    void emit(core::LiveItem item) override;

  private:
    core::ChannelSender<core::LiveItem> sender_;
    std::shared_ptr<std::function<void()>> waker_;
};

// Queues the item, then wakes the app loop; an item for a browser that is
// gone is dropped.
void send_browser_event(const core::ChannelSender<core::LiveItem>& sender,
                        const std::shared_ptr<std::function<void()>>& waker, core::LiveItem item);

}  // namespace bramwex::app
