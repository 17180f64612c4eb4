// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev: the verb, the options, and the run.
#pragma once

namespace vlm {

// The whole command. Returns the exit status; usage errors end the process
// through print_usage.
int velmortev_command(int argc, char** argv);

}  // namespace vlm
