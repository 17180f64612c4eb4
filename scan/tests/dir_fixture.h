// SPDX-License-Identifier: GPL-2.0-or-later
// Real directories for scan-directory tests.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support.h"

namespace vlm::test {

// Makes the directory `dir` in the scratch directory, holding one empty file
// per name, and returns its path (without a final slash).
inline std::string dir_with(const scratch_dir& tmp, const std::string& dir,
                            const std::vector<std::string>& names) {
    std::string path = tmp.file(dir);
    mkdir(path.c_str(), 0755);
    for (const std::string& n : names)
        write_file(path + "/" + n, "");
    return path;
}

}  // namespace vlm::test
