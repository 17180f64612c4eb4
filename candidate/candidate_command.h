// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-candidate-p: answers through its exit status
// whether a block device may carry a disk label. With -v it says why a
// device is refused.
#pragma once

namespace vlm {

// The name in front of the program's messages, whatever argv[0] says.
inline constexpr char candidate_program[] = "velmortev-candidate-p";

// The rule without -f, for a device already open: a partition, or a whole
// device of a driver whose whole devices may carry a label.
bool may_carry_label(int fd);

// The whole command: the options and the check. Returns the exit status;
// usage errors end the process through print_usage.
int candidate_command(int argc, char** argv);

}  // namespace vlm
