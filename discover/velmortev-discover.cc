// velmortev-discover: loads TEVLib and prints the disks that it discovers
// for the discovery string given as the first argument.
#include "discover/discover.h"
#include "discover/tevlib.h"

using namespace vlm;

int main(int argc, char** argv) {
    const char* discovery = choose_discovery_string(argc, argv);
    tevlib_ops ops = {};
    if (bind_tevlib(&ops) != 0)
        return 1;
    return run_discovery(ops, discovery);
}
