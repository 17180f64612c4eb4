// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-reload-partitions: asks the kernel to reread the
// partition table of every whole disk named on standard input, one path per
// line. Silent; the status is 0 once the input ends. It has no options of its
// own, so no state outlives a run.
#pragma once

namespace vlm {

// The name in front of the program's messages, whatever argv[0] says.
inline constexpr char reload_program[] = "velmortev-reload-partitions";

// The whole command: the options and the run. Returns the exit status;
// usage errors end the process through print_usage.
int reload_command(int argc, char** argv);

}  // namespace vlm
