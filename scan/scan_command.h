// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-scan-partitions: lists the device paths of the
// system's partitions, one per line, grouped by the first order pattern that
// claims each of them and leaving out the excluded ones.
#pragma once

#include "scan/scan.h"

namespace vlm {

// The state of one run; a fresh run starts from scan_run = {}.
struct scan_flags {
    bool out_of_memory = false;  // a pattern or directory could not be made
};
extern scan_flags scan_run;

// The rings the options fill. They outlive a usage error inside the run (the
// process ends then), so a caller that goes on releases them.
extern pattern_rings scan_patterns;
extern ring_node scan_dirs;

// The whole command: the options and the run. Returns the exit status;
// usage errors end the process through print_usage.
int scan_command(int argc, char** argv);

}  // namespace vlm
