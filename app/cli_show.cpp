#include "app/cli_show.hpp"

#include <fmt/format.h>

#include "app/print.hpp"
#include "core/store/store.hpp"

namespace bramwex::app {

namespace {

int fail(const std::string& message) {
    print_error(message);
    return 1;
}

}  // namespace

int cli_show(const ShowCommand& command) {
    const std::string path = shown_path(command.path);
    const auto folder = core::cache_dir();
    if (!folder) {
        return fail(fmt::format("cannot read saved scan for {}: {}", path,
                                error_with_path(folder.error(), command.path)));
    }
    const auto cached = core::open_cached_scan(*folder, command.path);
    if (!cached) {
        return fail(fmt::format("cannot read saved scan for {}: {}", path,
                                error_with_path(cached.error(), command.path)));
    }
    if (!cached->has_value()) {
        return fail(fmt::format("no saved scan for {}", path));
    }
    // Checks the file and that it was saved for this very folder.
    const auto tree = core::open_stored_tree(**cached);
    if (!tree) {
        return fail(fmt::format("no saved scan for {}", path));
    }
    if (command.output.reclaimable && !tree->has_reclaimable()) {
        return fail(fmt::format("saved scan for {} has no reclaimable sizes", path));
    }
    return print_report(*tree, command.output, tree->stopped());
}

}  // namespace bramwex::app
