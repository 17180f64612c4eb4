// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-scan-partitions: lists the device paths of the
// system's partitions, one per line, grouped by the first order pattern that
// claims each of them and leaving out the excluded ones.
#pragma once

namespace vlm {

// The name in front of the program's messages, whatever argv[0] says.
inline constexpr char scan_program[] = "velmortev-scan-partitions";

// The whole command: the options and the run. Returns the exit status;
// usage errors end the process through print_usage.
int scan_command(int argc, char** argv);

}  // namespace vlm
