// SPDX-License-Identifier: GPL-2.0-or-later
// tevscan: brings the driver's manager in line with the machine's disks in
// one pass. It asks the kernel to reread the partition table of every whole
// disk, removes every disk node that tevtool no longer reports as valid, and
// creates a node for every partition whose label tevtool reports as marked.
// Every disk operation is one run of tevtool.
#include "lib/standard_streams.h"
#include "tevscan/tevscan_command.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::tevscan_command, argc, argv, "tevscan");
}
