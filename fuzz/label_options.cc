// SPDX-License-Identifier: GPL-2.0-or-later
// The whole command line of velmortev-read-label / velmortev-write-label:
// the invocation name (the input's first piece), options and operands, up
// to the open of the device, which the fuzz world refuses.
#include <cerrno>
#include <string>

#include "harness.h"
#include "label/label_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size), nullptr);
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(vlm::label_command, args);
    // Usage errors, a wrong name, a refused open: nothing else can end it here.
    fuzz::require(status == 0 || status == -EINVAL || status == -ENOENT,
                  "unexpected status", std::to_string(status));
    return 0;
}
