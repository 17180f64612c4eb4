// The whole command line of velmortev-scan-partitions, over a fixed
// partition table; scan directories cannot be opened in the fuzz world.
#include <cerrno>
#include <string>

#include "harness.h"
#include "scan.h"
#include "scan_command.h"

using namespace vlm;

namespace {

// The rings survive a usage error inside the run (the process would have
// ended); release them before the next one.
void release(ring_node* patterns) {
    if (patterns->next)
        free_patterns(patterns);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dev_dir_given = false;
    scan_run = {};
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size),
                         "velmortev-scan-partitions");
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(scan_command, args);
    fuzz::require(status == 0 || status == -EINVAL, "unexpected status", std::to_string(status));
    release(&order_patterns);
    release(&exclude_patterns);
    if (scan_dirs.next)
        free_scan_dirs(&scan_dirs);
    return 0;
}
