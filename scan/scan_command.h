// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-scan-partitions: lists the device paths of the
// system's partitions, one per line, grouped by the first order pattern that
// claims each of them and leaving out the excluded ones.
#pragma once

#include "scan/scan.h"

namespace vlm {

// The state of one run; a fresh run starts from scan_run = {}. The rings
// are made ready by scan_command and released by free_scan_run.
struct scan_flags {
    bool out_of_memory = false;  // a pattern or directory could not be made
    ring_node order_patterns = {};
    ring_node exclude_patterns = {};
    scan_dir_ring scan_dirs = {};  // with dev_dir_given
};
extern scan_flags scan_run;

// Releases the rings of the run, leaving them empty. The rings outlive a
// usage error inside the run (the process ends then), so a caller that goes
// on calls this; a run that returns has called it already.
void free_scan_run(scan_flags* run);

// The whole command: the options and the run. Returns the exit status;
// usage errors end the process through print_usage.
int scan_command(int argc, char** argv);

}  // namespace vlm
