// SPDX-License-Identifier: GPL-2.0-or-later
// One line of the partition table, read by the kit's own converter, against
// the C library's sscanf with the format the table has always been read
// with: the same lines kept, the same numbers and the same name.
#include <cstdio>
#include <cstring>
#include <string>

#include "harness.h"
#include "scan/scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A line as fgets hands it over: no NUL inside, at most 4096 bytes.
    std::string line(reinterpret_cast<const char*>(data),
                     strnlen(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096)));
    int major = 0, minor = 0;
    char name[100] = "";
    bool kept = vlm::parse_partition_line(line.c_str(), &major, &minor, name);

    int ref_major = 0, ref_minor = 0;
    char ref_name[100] = "";
    int stored = std::sscanf(line.c_str(), "%d %d %*d %99[^ \t\n]", &ref_major, &ref_minor, ref_name);
    fuzz::require(kept == (stored == 3), "kept a line sscanf does not, or the other way", line);
    if (kept) {
        fuzz::require(major == ref_major, "major number", line);
        fuzz::require(minor == ref_minor, "minor number", line);
        fuzz::require(std::strcmp(name, ref_name) == 0, "name", line);
    }
    return 0;
}
