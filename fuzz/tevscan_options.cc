// SPDX-License-Identifier: GPL-2.0-or-later
// The whole command line of tevscan, up to the manager check, which the
// fuzz world answers with "no such file": no device is asked, no tool run.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tevscan/run_tool.h"
#include "tevscan/tevscan_command.h"

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size), "tevscan");
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(vlm::tevscan_command, args);
    fuzz::require(status == 0 || status == -EINVAL || status == -ENOENT, "unexpected status",
                  std::to_string(status));
    return 0;
}
