// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-instantiate-disk / velmortev-clean-disk: creates or removes the
// disk node of a label in the manager filesystem.
#include "disk/disk_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    // Named as argv[0] names it: the program has two names.
    return vlm::run_program(vlm::disk_command, argc, argv, nullptr);
}
