// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-scan-partitions: lists the device paths of the system's
// partitions, one per line, grouped by the first order pattern that claims
// each of them and leaving out the excluded ones.
#include "scan/scan_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::scan_command, argc, argv, vlm::scan_program);
}
