// The native `bramwex` command.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.hpp"
#include "core/base/fatal.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    try {
        return bramwex::app::cli_main(args);
    } catch (const bramwex::core::Fatal& failure) {
        std::fprintf(stderr, "bramwex: fatal: %s\n", failure.what());
        return 101;
    }
}
