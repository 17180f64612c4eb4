// SPDX-License-Identifier: GPL-2.0-or-later
// The whole command line of velmortev-candidate-p, up to the look at the
// device, which the fuzz world answers with "no such file".
#include <cerrno>
#include <string>

#include "candidate/candidate_command.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::arguments args(std::string_view(reinterpret_cast<const char*>(data), size),
                         "velmortev-candidate-p");
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(vlm::candidate_command, args);
    fuzz::require(status == 0 || status == -EINVAL || status == -ENOENT, "unexpected status",
                  std::to_string(status));
    return 0;
}
