// SPDX-License-Identifier: GPL-2.0-or-later
// The command of velmortev-read-label / velmortev-write-label: prints,
// writes, replaces or clears the label in the first logical block of a block
// device.
#pragma once

namespace vlm {

// The options of one run; a fresh run starts from label_run = {}.
struct label_flags {
    bool write_mode = false;    // started as velmortev-write-label
    bool force = false;         // -f: replace a present label
    bool delete_label = false;  // -d: clear the label
    bool zero_ends = false;     // -c: zero the first and last MiB first
    // -r: a cleared label counts as a label in every test of the run
    bool accept_cleared = false;
};
extern label_flags label_run;

// The whole command: the invocation name, the options, and the run. Returns
// the exit status; usage errors end the process through print_usage.
int label_command(int argc, char** argv);

}  // namespace vlm
