// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-read-label / velmortev-write-label: prints,
// writes, replaces or clears the label in the first logical block of a block
// device.
#pragma once

namespace vlm {

// The whole command: the invocation name, the options, and the run. Returns
// the exit status; usage errors end the process through print_usage.
int label_command(int argc, char** argv);

}  // namespace vlm
