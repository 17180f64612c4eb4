// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-candidate-p run as a user would, on loop devices: a loop device
// is a whole device of the loop driver, the testbed's geometry switch makes
// one look like a partition, and a fake driver table in a private mount
// namespace gives the loop major another driver's name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

using namespace vlm::test;

namespace {

const std::string prog = "velmortev-candidate-p";
const std::string usage =
    "Usage: velmortev-candidate-p [-f] <device>\n"
    "       velmortev-candidate-p -h\n"
    "       velmortev-candidate-p -V\n";

// Status, standard output and standard error as expected; a message is
// expected with the program-name prefix.
void expect_run(const run_result& r, int negated_errno, const std::string& message,
                const std::string& out = "") {
    EXPECT_EQ(r.status, shell_status(negated_errno));
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, message.empty() ? "" : prog + ": " + message);
}

run_result candidate(const std::vector<std::string>& args, const std::string& argv0 = "") {
    run_spec spec;
    spec.program = sbin(prog);
    spec.args = args;
    spec.argv0 = argv0;
    return run(spec);
}

// The frame's shared rules are checked in frame/tests; these are the
// candidate program's own words.
TEST(CandidateCommandLine, OptionsAndOperands) {
    expect_run(candidate({"--forc", "/nonexistent"}), -EINVAL, "Invalid option: '--forc'\n" + usage);
    expect_run(candidate({"-f-"}), -EINVAL, "parse_options: Can't get here\n" + usage);
}

TEST(CandidateChecks, PathsThatAreNotBlockDevices) {
    scratch_dir dir;
    std::string file = dir.file("plain");
    write_file(file, "not a device\n");
    std::string missing = dir.file("missing");

    expect_run(candidate({file}), -ENOTBLK, "");
    expect_run(candidate({"-f", file, "-v"}), -ENOTBLK,
               "File \"" + file + "\" is not a block device\n");
    expect_run(candidate({"--verbose", "/dev/null"}), -ENOTBLK,
               "File \"/dev/null\" is not a block device\n");
    expect_run(candidate({missing}), -ENOENT, "");
    expect_run(candidate({missing, "--verbose"}), -ENOENT,
               "Unable to query file \"" + missing + "\": No such file or directory\n");
}

class CandidateLoop : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        ASSERT_EQ(loop.attach(dir.file("backing"), 1 << 20), "");
    }

    // Runs the program on the loop device (in place of the argument "DEVICE",
    // else after the arguments); with the loop major's block driver named
    // `driver` in a fake table, and a start sector from the testbed, when
    // these are given.
    run_result check(std::vector<std::string> args, const std::string& driver = "",
                     const std::string& start = "") {
        auto slot = std::find(args.begin(), args.end(), "DEVICE");
        if (slot == args.end())
            args.push_back(loop.path());
        else
            *slot = loop.path();
        run_spec spec;
        spec.program = sbin(prog);
        spec.args = args;
        spec.closed_fd = closed_fd;
        if (!driver.empty()) {
            std::string table = dir.file("devices");
            write_file(table, "Character devices:\n  7 vcs\n\nBlock devices:\n  " +
                                  std::to_string(major(loop.rdev())) + " " + driver + "\n");
            spec.binds = {{table, "/proc/devices"}};
        }
        if (!start.empty()) {
            spec.preload = true;
            spec.env = {{"VLM_TESTBED_GEOMETRY", loop.path() + "=" + start}};
        }
        return run(spec);
    }

    scratch_dir dir;
    loop_device loop;
    int closed_fd = -1;  // a standard descriptor the program starts without
};

TEST_F(CandidateLoop, WholeDevicesPassByTheirDriverName) {
    std::string refusal = "Device \"" + loop.path() + "\" is not a partition\n";
    expect_run(check({"-v"}), 0, "");  // the real table names the loop driver
    for (const char* accepted :
         {"ramdisk", "loop", "md", "device-mapper", "VxVM", "VxDMP", "vdisk", "nvme"})
        expect_run(check({"-v"}, accepted), 0, "");
    for (const char* refused : {"mdp", "blkext", "Loop", "loop0", "sd"}) {
        SCOPED_TRACE(refused);
        expect_run(check({}, refused), -EINVAL, "");
        expect_run(check({"DEVICE", "-v"}, refused), -EINVAL, refusal);
        expect_run(check({"-f"}, refused), 0, "");
        expect_run(check({"DEVICE", "--force", "--verbose"}, refused), 0, "");
    }
    // Partitions pass whatever their driver; a start of 0 or a failed
    // geometry query is a whole device.
    expect_run(check({"-v"}, "sd", "2048"), 0, "");
    expect_run(check({"-v"}, "sd", "0"), -EINVAL, refusal);
    expect_run(check({"-v"}, "sd", "fail"), -EINVAL, refusal);
    expect_run(check({"-v"}, "loop", "fail"), 0, "");
}

TEST_F(CandidateLoop, ADeviceHeldExclusivelyIsBusyEvenWhenForced) {
    int held = open(loop.path().c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0) << strerror(errno);
    std::string busy = "Unable to open device \"" + loop.path() + "\": Device or resource busy\n";
    expect_run(check({}), -EBUSY, "");
    expect_run(check({"-f", "-v"}, "", "2048"), -EBUSY, busy);
    close(held);
    expect_run(check({"-f", "-v"}), 0, "");
}

// The refusal of a whole device goes to standard error or nowhere, never
// into the device that would otherwise take the closed descriptor's number.
TEST_F(CandidateLoop, ClosedStandardDescriptorsKeepTheDeviceIntact) {
    std::string bytes(4096, 'c');
    write_bytes(loop.path(), 0, bytes);
    std::string refusal = "Device \"" + loop.path() + "\" is not a partition\n";
    for (int fd : {0, 1, 2}) {
        SCOPED_TRACE("closed descriptor " + std::to_string(fd));
        closed_fd = fd;
        expect_run(check({"-v"}, "sd"), -EINVAL, fd == 2 ? "" : refusal);
        EXPECT_TRUE(read_bytes(loop.path(), 0, bytes.size()) == bytes) << "the device changed";
    }
}

}  // namespace
