#include <system_error>

#include "core/base/fatal.hpp"
#include "core/base/log.hpp"
#include "core/live/live.hpp"
#include "core/live/live_loop.hpp"

namespace bramwex::core {

LiveHandle::LiveHandle(LiveSender sender, std::shared_ptr<LiveControl> control, std::thread thread)
    : sender_(std::move(sender)), control_(std::move(control)), thread_(std::move(thread)) {}

LiveHandle::~LiveHandle() {
    if (thread_.joinable()) {
        close();
    }
}

void LiveHandle::follow(std::span<const FolderId> ids) const {
    sender_.send(LiveMsg{LiveMsg::Follow{{ids.begin(), ids.end()}}});
}

void LiveHandle::relist(std::span<const FolderId> ids) const {
    sender_.send(LiveMsg{LiveMsg::Relist{{ids.begin(), ids.end()}}});
}

void LiveHandle::rescan(FolderId id) const {
    control_->busy.fetch_add(1, std::memory_order_acq_rel);
    sender_.send(LiveMsg{LiveMsg::Rescan{id}});
}

void LiveHandle::close(std::optional<FinalTreeSender> reply) {
    if (control_) {
        control_->closed.store(true, std::memory_order_relaxed);
    }
    sender_.send(LiveMsg{LiveMsg::Close{std::move(reply)}});
    if (thread_.joinable()) {
        try {
            thread_.join();
        } catch (const std::system_error& error) {
            fatal("failed to join thread: {}", error.what());
        }
    }
}

std::optional<Tree> LiveHandle::request_final_tree() {
    auto [reply, answer] = make_one_shot<std::optional<Tree>>();
    close(std::move(reply));
    return answer.receive().value_or(std::nullopt);
}

LiveHandle start_live(LiveSettings settings, std::unique_ptr<EventSink> sink) {
    auto [sender, receiver] = make_channel<LiveMsg>();
    auto control = std::make_shared<LiveControl>();
    auto loop = std::make_unique<LiveLoop>();
    loop->sender = sender;
    loop->receiver = std::move(receiver);
    loop->settings = std::move(settings);
    loop->sink = std::move(sink);
    loop->control = control;
    std::thread thread;
    try {
        thread = std::thread([loop = std::move(loop)]() mutable {
            try {
                run_live_loop(*loop);
            } catch (const std::exception& failure) {
                // A broken contract ends following: the starter learns
                // nothing more, and its handle still joins. A running scan
                // is stopped before it is joined below.
                loop->control->closed.store(true, std::memory_order_relaxed);
                log::record(log::Level::Error, "bramwex_core::live", "live: {}", failure.what());
            }
            // The phase (a running stream), the sink and the channel go here,
            // on the live thread.
            loop.reset();
        });
    } catch (const std::system_error&) {
        fatal("failed to spawn thread");
    }
    return LiveHandle(std::move(sender), std::move(control), std::move(thread));
}

}  // namespace bramwex::core
