// SPDX-License-Identifier: GPL-2.0-or-later
// The discovery run of velmortev-discover: names the bound library, opens a
// context, discovers and prints one line per disk the library hands back.
#pragma once

#include "discover/tevlib.h"

namespace vlm {

// The first argument when there is one and it is not empty, else "VLMR:*".
// Nothing is parsed as an option.
const char* choose_discovery_string(int argc, char** argv);

// Runs the discovery through the bound entry points and returns the exit
// status: 0 also when discovering or fetching failed after the context was
// opened (the context is closed on every such path), 1 when no context could
// be opened, -ENOMEM or the failing code of tev_version otherwise.
int run_discovery(const tevlib_ops& ops, const char* discovery);

}  // namespace vlm
