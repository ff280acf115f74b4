#include "app/cli_scan.hpp"

#include <memory>
#include <string>

#include <fmt/format.h>

#include "app/print.hpp"
#include "app/stop_signals.hpp"
#include "core/output/json.hpp"
#include "core/output/report.hpp"
#include "core/scan/scan.hpp"
#include "core/store/store.hpp"

namespace bramwex::app {

bool StopCheck::should_stop() {
    return counter_.fetch_add(1, std::memory_order_relaxed) >= stop_after_;
}

int cli_scan(const ScanCommand& command) {
    const StopSignals signals;
    const std::atomic<int>& signal = signals.word();
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
        print_error(fmt::format("{}: {}", shown_path(command.path), tree.error().to_string()));
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
    const int number = signals.word().load(std::memory_order_relaxed);
    return number == 0 ? 0 : (number + 128) % 256;
}

}  // namespace bramwex::app
