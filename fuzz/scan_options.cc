// SPDX-License-Identifier: GPL-2.0-or-later
// The whole command line of velmortev-scan-partitions, over a fixed
// partition table; scan directories cannot be opened in the fuzz world.
#include <cerrno>
#include <string>

#include "harness.h"
#include "scan/scan_command.h"

using namespace vlm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size),
                         "velmortev-scan-partitions");
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(scan_command, args);
    fuzz::require(status == 0 || status == -EINVAL, "unexpected status", std::to_string(status));
    return 0;
}
