#include "app/cli_scan.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "app/print.hpp"
#include "core/base/fatal.hpp"
#include "core/output/json.hpp"
#include "core/output/report.hpp"
#include "core/scan/scan.hpp"
#include "core/store/store.hpp"

namespace bramwex::app {

namespace {

// The word the signal handlers write; a handler may only store into it.
std::atomic<int> received_signal{0};

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

// The first stop signal asks the scan to stop; the handler then gives both
// signals their default action back, so a second one ends the process at
// once, killed by that signal as any command without a handler would be.
extern "C" void store_signal(int number) {
    received_signal.store(number, std::memory_order_relaxed);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (const int stop : kStopSignals) {
        ::sigaction(stop, &fallback, nullptr);  // async-signal-safe
    }
}

void install_handlers() {
    struct sigaction action {};
    action.sa_handler = store_signal;
    sigemptyset(&action.sa_mask);
    for (const int stop : kStopSignals) {
        sigaddset(&action.sa_mask, stop);  // one handler at a time
    }
    action.sa_flags = SA_RESTART;
    for (const int number : kStopSignals) {
        if (::sigaction(number, &action, nullptr) != 0) {
            core::fatal("cannot install the handler of signal {}", number);
        }
    }
}

}  // namespace

bool StopCheck::should_stop() {
    return counter_.fetch_add(1, std::memory_order_relaxed) >= stop_after_;
}

std::atomic<int>& stop_signal() {
    // Installed again by every scan: a signal that stopped an earlier scan in
    // this process left the default actions behind. The word is cleared
    // first, so a signal that arrives once the handlers are in is never lost.
    received_signal.store(0, std::memory_order_relaxed);
    install_handlers();
    return received_signal;
}

int cli_scan(const ScanCommand& command) {
    std::atomic<int>& signal = stop_signal();
    core::ScanOptions options;
    if (command.stop_after) {
        options.stop = [check = std::make_shared<StopCheck>(*command.stop_after)] {
            return check->should_stop();
        };
    }
    // A signal cuts even the listing under way short.
    options.interrupt = [&signal] { return signal.load(std::memory_order_relaxed) != 0; };
    options.threads = command.threads;
    options.reclaimable = command.output.reclaimable;
    options.reader = command.reader;

    const auto tree = core::scan_tree(command.path, options);
    if (!tree) {
        print_error(fmt::format("{}: {}", command.path, tree.error().to_string()));
        return 1;
    }
    const int printed = print_report(*tree, command.output, tree->stopped);

    const auto folder = core::cache_dir();
    const auto saved =
        folder ? core::save_cached_scan(*folder, command.path, *tree, command.output.reclaimable)
               : core::Result<void>(std::unexpected(folder.error()));
    if (!saved) {
        print_error(fmt::format("warning: scan not saved: {}", error_with_path(saved.error())));
    }
    if (printed != 0) {
        return printed;  // the report was lost, which outweighs how the scan ended
    }
    const int number = signal.load(std::memory_order_relaxed);
    return number == 0 ? 0 : (number + 128) % 256;
}

}  // namespace bramwex::app
