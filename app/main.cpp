// The native `bramwex` command.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app/cli.hpp"
#include "app/uncaught.hpp"
#include "core/base/fatal.hpp"

// Before every other static initializer: the command line's tables are built
// before main, and running out of memory there ends the same way as later.
__attribute__((constructor(101))) static void handle_out_of_memory_from_the_start() {
    std::set_new_handler(bramwex::app::exit_out_of_memory);
    std::set_terminate(bramwex::app::exit_on_terminate);
}

int main(int argc, char** argv) {
    try {
        return bramwex::app::cli_main(std::vector<std::string>(argv, argv + argc));
    } catch (const bramwex::core::Fatal& failure) {
        std::fprintf(stderr, "bramwex: fatal: %s\n", failure.what());
        return 101;
    }
}
