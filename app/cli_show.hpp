// `bramwex show`: print the last saved scan of PATH exactly as `scan` did.
#pragma once

#include "app/cli.hpp"

namespace bramwex::app {

int cli_show(const ShowCommand& command);

}  // namespace bramwex::app
