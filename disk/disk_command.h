// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-instantiate-disk / velmortev-clean-disk: creates
// or removes the disk node of a label in the manager filesystem.
#pragma once

namespace vlm {

// The whole command: the invocation name, the options, and the run. Returns
// the exit status; usage errors end the process through print_usage.
int disk_command(int argc, char** argv);

}  // namespace vlm
