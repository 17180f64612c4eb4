// SPDX-License-Identifier: GPL-2.0-or-later
#include "discover/discover_command.h"

#include "discover/discover.h"
#include "discover/tevlib.h"

namespace vlm {

int discover_command(int argc, char** argv) {
    const char* discovery = choose_discovery_string(argc, argv);
    tevlib_ops ops = {};
    if (bind_tevlib(&ops) != 0)
        return 1;
    return run_discovery(ops, discovery);
}

}  // namespace vlm
