// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-discover: loads TEVLib and prints the disks that it discovers
// for the discovery string given as the first argument.
#include "discover/discover_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::discover_command, argc, argv, "velmortev-discover");
}
