// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-discover: loads TEVLib and prints the disks that it discovers
// for the discovery string given as the first argument.
#include "discover/discover.h"
#include "discover/tevlib.h"
#include "lib/standard_streams.h"

using namespace vlm;

static int run_command(int argc, char** argv) {
    const char* discovery = choose_discovery_string(argc, argv);
    tevlib_ops ops = {};
    if (bind_tevlib(&ops) != 0)
        return 1;
    return run_discovery(ops, discovery);
}

int main(int argc, char** argv) {
    int rc = open_missing_standard_fds();
    if (rc < 0)
        return rc;
    rc = run_command(argc, argv);
    return finish_stdout(rc, "velmortev-discover");
}
