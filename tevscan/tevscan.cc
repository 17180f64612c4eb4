// SPDX-License-Identifier: GPL-2.0-or-later
// tevscan: brings the driver's manager in line with the machine's disks in
// one pass. It asks the kernel to reread the partition table of every whole
// disk, removes every disk node that tevtool no longer reports as valid, and
// creates a node for every partition whose label tevtool reports as marked.
// Every disk operation is one run of tevtool.
#include "tevscan/tevscan_command.h"
#include "lib/standard_streams.h"

// Descriptors 0, 1 and 2 are taken before anything is opened, and standard
// output is checked on the way out (see lib/standard_streams.h).
int main(int argc, char** argv) {
    int rc = vlm::open_missing_standard_fds();
    if (rc < 0)
        return rc;
    rc = vlm::tevscan_command(argc, argv);
    return vlm::finish_stdout(rc, "tevscan");
}
