// The starter's end of live following: the handle's requests, and the live
// thread, which ends orderly whatever is thrown on it.
#include <future>
#include <new>
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
    FinalTreeSender reply;
    std::future<std::optional<Tree>> answer = reply.get_future();
    close(std::move(reply));
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return std::nullopt;  // the loop had ended before the Close
    }
}

namespace {

// Anything thrown on the live thread ends following: a running scan is told
// to stop, the starter gets the error item, and nothing stays busy, so no
// waiter hangs on a loop that is gone.
void end_after_failure(LiveLoop& loop, const std::string& what) {
    loop.control->closed.store(true, std::memory_order_relaxed);
    log::record(log::Level::Error, "bramwex_core::live", "live: {}: {}", loop.settings.root, what);
    loop.control->ended.store(true, std::memory_order_release);
    try {
        loop.sink->failed(what);
    } catch (...) {
        // The sink itself failed: the flags still tell the starter.
    }
    loop.control->busy.store(0, std::memory_order_release);
}

void run_live_thread(LiveLoop& loop) {
    try {
        run_live_loop(loop);
    } catch (const std::exception& failure) {
        end_after_failure(loop, failure.what());
    } catch (...) {
        end_after_failure(loop, "unknown exception");
    }
}

}  // namespace

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
            run_live_thread(*loop);
            // The phase (a running stream, a scan thread), the sink and the
            // channel go here, on the live thread.
            loop.reset();
        });
    } catch (const std::system_error& error) {
        fatal("failed to spawn thread: {} (os error {})", error.code().message(),
              error.code().value());
    }
    return LiveHandle(std::move(sender), std::move(control), std::move(thread));
}

}  // namespace bramwex::core
