// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_tool.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

namespace vlm::test {

fake_tool::fake_tool(const std::string& body) {
    // Arguments are logged separated by 0x1f, vectors by 0x1e, so that
    // blanks, quotes and newlines in an argument survive.
    std::string script =
        "#!/bin/sh\n"
        "here='" + dir() + "'\n"
        "date +%s.%N >>\"$here/times\"\n"
        "{ for a in \"$@\"; do printf '%s\\037' \"$a\"; done; printf '\\036'; } >>\"$here/calls\"\n"
        "call=$(tr -cd '\\036' <\"$here/calls\" | wc -c)\n" +
        body + "\n";
    write_file(dir() + "/tevtool", script);
    chmod((dir() + "/tevtool").c_str(), 0755);
}

static std::string read_if_there(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? read_file(path) : std::string();
}

std::vector<std::vector<std::string>> fake_tool::calls() const {
    std::vector<std::vector<std::string>> vectors;
    std::string log = read_if_there(dir() + "/calls");
    size_t start = 0;
    for (size_t end; (end = log.find('\036', start)) != std::string::npos; start = end + 1) {
        std::vector<std::string> args;
        size_t field = start;
        for (size_t stop; (stop = log.find('\037', field)) < end; field = stop + 1)
            args.push_back(log.substr(field, stop - field));
        vectors.push_back(args);
    }
    return vectors;
}

std::vector<double> fake_tool::start_times() const {
    std::vector<double> times;
    std::istringstream in(read_if_there(dir() + "/times"));
    for (double t; in >> t;)
        times.push_back(t);
    return times;
}

}  // namespace vlm::test
