#include "binding/interruptible_scan.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>

#include "binding/py.hpp"
#include "core/scan/scan.hpp"

namespace bramwex::binding {

namespace {

// Half the delay a person notices after Ctrl-C, leaving the rest for the
// scan to see its interrupt and wind down.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

// Joins with the interpreter lock released: the scan's log records take the
// lock on their way to Python's logging, and would wait for it forever.
class ScanThread {
  public:
    template <class Body>
    explicit ScanThread(Body&& body) : thread_(std::forward<Body>(body)) {}
    ScanThread(const ScanThread&) = delete;
    ScanThread& operator=(const ScanThread&) = delete;
    ~ScanThread() {
        AllowThreads released;
        thread_.join();
    }

  private:
    std::thread thread_;
};

}  // namespace

std::optional<core::Result<core::Tree>> scan_until_interrupted(const std::string& path,
                                                               core::ScanOptions options) {
    std::atomic<bool> interrupted{false};
    options.interrupt = [&interrupted, given = std::move(options.interrupt)] {
        return interrupted.load(std::memory_order_relaxed) || (given && given());
    };
    std::packaged_task<core::Result<core::Tree>()> task(
        [&] { return core::scan_tree(path, options); });
    std::future<core::Result<core::Tree>> result = task.get_future();
    {
        const ScanThread worker([&task] { task(); });
        for (;;) {
            bool done = false;
            {
                AllowThreads released;
                done = result.wait_for(kSignalCheckInterval) == std::future_status::ready;
            }
            if (done) {
                break;
            }
            if (PyErr_CheckSignals() != 0) {
                interrupted.store(true, std::memory_order_relaxed);
                return std::nullopt;
            }
        }
    }
    return result.get();
}

}  // namespace bramwex::binding
