// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-reload-partitions: asks the kernel to reread the partition table
// of every whole disk named on standard input, one path per line. Silent;
// the status is 0 once the input ends.
#include "reload/reload_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::reload_command, argc, argv, vlm::reload_program);
}
