// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-candidate-p: answers through its exit status
// whether a block device may carry a disk label. With -v it says why a
// device is refused.
#pragma once

namespace vlm {

// The options of one run; a fresh run starts from candidate_run = {}.
struct candidate_flags {
    bool force = false;    // -f: any block device nobody holds will do
    bool verbose = false;  // -v: say why a device is refused
};
extern candidate_flags candidate_run;

// The rule without -f, for a device already open: a partition, or a whole
// device of a driver whose whole devices may carry a label.
bool may_carry_label(int fd);

// The whole command: the options and the check. Returns the exit status;
// usage errors end the process through print_usage.
int candidate_command(int argc, char** argv);

}  // namespace vlm
