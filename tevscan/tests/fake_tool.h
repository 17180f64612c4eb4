// SPDX-License-Identifier: GPL-2.0-or-later
// A scripted stand-in for the driver tool: a shell script named tevtool in a
// directory of its own, which logs each argument vector it is started with
// and then runs the test's script body.
#pragma once

#include <string>
#include <vector>

#include "support.h"

namespace vlm::test {

class fake_tool {
public:
    // The body sees the arguments as "$@", the call number (1 for the first
    // run) as $call, and the scratch directory as $here.
    explicit fake_tool(const std::string& body);

    const std::string& dir() const { return dir_.path(); }
    // A PATH that finds this tool first and the system's commands after it.
    std::string search_path() const { return dir() + ":/usr/bin:/bin"; }
    // The argument vectors of every run so far, argv[1] onwards.
    std::vector<std::vector<std::string>> calls() const;
    // When each run started, in seconds.
    std::vector<double> start_times() const;

private:
    scratch_dir dir_;
};

}  // namespace vlm::test
