// SPDX-License-Identifier: GPL-2.0-or-later
// The standard streams as every program of the kit leaves them, started with
// standard output closed or on a full device: output that was meant for it
// and is lost makes the run fail with the write's error, and a run that had
// failed already keeps its own status. Runs that touch devices are checked
// in the programs' own tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

using namespace vlm::test;

namespace {

std::string lost(const std::string& name, int error) {
    return name + ": Unable to write to standard output: " + strerror(error) + "\n";
}

struct stream_case {
    std::string name;
    std::vector<std::string> args;
    int closed_fd;            // -1: none
    std::string output_path;  // standard output goes there instead
    int status;
    std::string out, err;
};

std::vector<stream_case> framed_cases() {
    std::vector<stream_case> cases;
    for (const char* name :
         {"velmortev-read-label", "velmortev-write-label", "velmortev-scan-partitions",
          "velmortev-instantiate-disk", "velmortev-clean-disk", "velmortev-candidate-p",
          "velmortev-reload-partitions", "velmortev"}) {
        cases.push_back({name, {"--help"}, -1, "/dev/full", 228, "", lost(name, ENOSPC)});
        cases.push_back({name, {"-V"}, 1, "", 247, "", lost(name, EBADF)});
        // A usage error keeps its status; nothing was meant for standard output.
        std::string usage = run_program(name, {"--help"}).out;
        cases.push_back({name, {"-q"}, 1, "", 234, "",
                         std::string(name) + ": Invalid option: '-q'\n" + usage});
        cases.push_back({name, {"-V"}, 0, "", 0, std::string(name) + " version 2.1.10\n", ""});
    }
    return cases;
}

TEST(StandardStreams, ClosedAndFullOutputOfEveryProgram) {
    std::vector<stream_case> cases = framed_cases();
    // tevscan writes its version line on standard error: nothing is lost.
    cases.push_back({"tevscan", {"-h"}, -1, "/dev/full", 228, "", lost("tevscan", ENOSPC)});
    cases.push_back({"tevscan", {"-h"}, 1, "", 247, "", lost("tevscan", EBADF)});
    cases.push_back({"tevscan", {"-V"}, 1, "", 0, "", "tevscan version 2.1.10\n"});
    // The discovery's name line and disks, from the testbed's library.
    cases.push_back({"velmortev-discover", {}, -1, "/dev/full", 228, "",
                     lost("velmortev-discover", ENOSPC)});
    cases.push_back({"velmortev-discover", {}, 1, "", 247, "", lost("velmortev-discover", EBADF)});

    scratch_dir dir;
    std::filesystem::create_directories(dir.file("manager/disks"));
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.name + " " + (c.args.empty() ? "" : c.args[0]) + " fd " +
                     std::to_string(c.closed_fd) + c.output_path);
        run_spec spec;
        spec.program = sbin(c.name);
        spec.args = c.args;
        spec.closed_fd = c.closed_fd;
        spec.output_path = c.output_path;
        if (c.name == "velmortev-discover") {
            // An empty /opt of its own, so that nothing on this machine is loaded.
            if (geteuid() == 0)
                spec.binds = {{dir.file("manager/disks"), "/opt"}};
            spec.env = {{"LD_LIBRARY_PATH", testbed(".")},
                        {"VLM_TESTBED_MANAGER", dir.file("manager")},
                        {"VLM_TESTBED_LIBTEV_RECORDS", "FIRST:512:4:512:0,SECOND:512:4:512:0"}};
        }
        run_result r = run(spec);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
