// SPDX-License-Identifier: GPL-2.0-or-later
// TEMPORARY STUB, to be replaced by safety.cc: lets the front end build and
// refuses every write that needs a saved region.
#include <unistd.h>

#include <cerrno>

#include "velmortev/safety.h"

namespace vlm {

int probe_signatures(const char*, std::vector<found_signature>& out) {
    out.clear();
    return 0;
}

std::vector<device_region> signature_regions(const std::vector<found_signature>& found) {
    std::vector<device_region> regions;
    for (const found_signature& each : found)
        regions.push_back({each.offset, each.length});
    return regions;
}

int save_region(std::string_view, const device_identity&, device_region, std::string&) {
    return -ENOSYS;
}

int wipe_signatures(const char*, const std::vector<found_signature>&) { return -ENOSYS; }

int read_saved_region(const char*, saved_region&) { return -ENOSYS; }

int restore_region(const saved_region&, const char*, const device_identity&) { return -ENOSYS; }

consent ask_consent(std::string_view, bool yes, int input, std::FILE*) {
    if (yes)
        return consent::given;
    return isatty(input) ? consent::declined : consent::needs_yes;
}

}  // namespace vlm
