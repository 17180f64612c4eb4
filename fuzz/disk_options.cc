// SPDX-License-Identifier: GPL-2.0-or-later
// The whole command line of velmortev-instantiate-disk / velmortev-clean-disk
// (the invocation name is the input's first piece), up to the manager check,
// which the fuzz world answers with "no such file": no node is ever made or
// removed.
#include <cerrno>
#include <string>

#include "disk/disk_command.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size), nullptr);
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(vlm::disk_command, args);
    fuzz::require(status == 0 || status == -EINVAL || status == -ENOENT, "unexpected status",
                  std::to_string(status));
    return 0;
}
