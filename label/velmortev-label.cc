// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-read-label / velmortev-write-label: prints, writes, replaces or
// clears the label in the first logical block of a block device.
#include "label/label_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    // Named as argv[0] names it: the program has two names.
    return vlm::run_program(vlm::label_command, argc, argv, nullptr);
}
