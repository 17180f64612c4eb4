// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-discover: binds TEVLib and lists the disks that it
// discovers. It has no options and keeps no state between runs.
#pragma once

namespace vlm {

// The whole command: the discovery string, the binding and the run. Returns
// the exit status: 1 when the library cannot be bound, else that of
// run_discovery.
int discover_command(int argc, char** argv);

}  // namespace vlm
