// SPDX-License-Identifier: GPL-2.0-or-later
// The command line and the device list of velmortev-reload-partitions: the
// input up to its first "\n\n" gives the arguments (one per line), the rest
// is standard input. The fuzz world opens no path, so no device is asked.
#include <algorithm>
#include <cerrno>
#include <string>

#include "harness.h"
#include "reload/reload_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find("\n\n");
    std::string words(input.substr(0, split));
    std::string_view list = split == std::string_view::npos ? "" : input.substr(split + 2);
    std::replace(words.begin(), words.end(), '\n', '\0');
    fuzz::arguments args(words.empty() ? std::string_view() : std::string_view(words),
                         "velmortev-reload-partitions");
    fuzz::redirected_input in(list);
    fuzz::redirected_streams streams;
    int status = fuzz::run_main(vlm::reload_command, args);
    fuzz::require(status == 0 || status == -EINVAL, "unexpected status", std::to_string(status));
    return 0;
}
