// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-instantiate-disk / velmortev-clean-disk: creates
// or removes the disk node of a label in the manager filesystem.
#pragma once

namespace vlm {

// The options of one run; a fresh run starts from disk_run = {}.
struct disk_flags {
    const char* manager = nullptr;  // the last -l, borrowed from the command line
};
extern disk_flags disk_run;

// The whole command: the invocation name, the options, and the run. Returns
// the exit status; usage errors end the process through print_usage.
int disk_command(int argc, char** argv);

}  // namespace vlm
