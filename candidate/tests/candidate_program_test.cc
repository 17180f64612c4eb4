// velmortev-candidate-p run as a user would, on loop devices: a loop device
// is a whole device of the loop driver, the testbed's geometry switch makes
// one look like a partition, and a fake driver table in a private mount
// namespace gives the loop major another driver's name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

run_result candidate(const std::vector<std::string>& args) {
    return run_program(prog, args);
}

void expect_usage_error(const run_result& r, const std::string& message) {
    EXPECT_EQ(r.status, shell_status(-EINVAL));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, prog + ": " + message + usage);
}

void expect_refused(const run_result& r, int negated_errno, const std::string& message) {
    EXPECT_EQ(r.status, shell_status(negated_errno));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message.empty() ? "" : prog + ": " + message);
}

TEST(CandidateFrame, HelpVersionAndInvalidOptions) {
    for (const char* help : {"-h", "--help"}) {
        run_result r = candidate({help, "-x"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    for (const char* version : {"-V", "--version"}) {
        run_spec spec;
        spec.program = sbin(prog);
        spec.argv0 = "/somewhere/else-named";
        spec.args = {version};
        run_result r = run(spec);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "velmortev-candidate-p version 2.1.10\n");
    }
    expect_usage_error(candidate({"--forc", "/nonexistent"}), "Invalid option: '--forc'\n");
    expect_usage_error(candidate({"--forcex", "/nonexistent"}), "Invalid option: '--forcex'\n");
    expect_usage_error(candidate({"-x", "/nonexistent"}), "Invalid option: '-x'\n");
    expect_usage_error(candidate({"-f-"}), "parse_options: Can't get here\n");
}

TEST(CandidateFrame, OneOperandIsRequiredBeforeAnyDeviceIsLookedAt) {
    expect_usage_error(candidate({}), "You must specify a device\n");
    expect_usage_error(candidate({"-v", "-f"}), "You must specify a device\n");
    expect_usage_error(candidate({"/nonexistent", "/nonexistent"}), "Too many arguments\n");
}

TEST(CandidateChecks, FilesThatAreNotBlockDevices) {
    scratch_dir dir;
    std::string file = dir.file("plain");
    write_file(file, "not a device\n");
    std::string missing = dir.file("missing");

    expect_refused(candidate({file}), -ENOTBLK, "");
    expect_refused(candidate({"-f", file, "-v"}), -ENOTBLK,
                   "File \"" + file + "\" is not a block device\n");
    expect_refused(candidate({"--verbose", dir.path()}), -ENOTBLK,
                   "File \"" + dir.path() + "\" is not a block device\n");
    expect_refused(candidate({"-v", "/dev/null"}), -ENOTBLK,
                   "File \"/dev/null\" is not a block device\n");
    expect_refused(candidate({missing}), -ENOENT, "");
    expect_refused(candidate({missing, "--verbose"}), -ENOENT,
                   "Unable to query file \"" + missing + "\": No such file or directory\n");
}

class CandidateLoop : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        ASSERT_EQ(loop.attach(dir.file("backing"), 1 << 20), "");
    }

    // Runs the program on the loop device (in place of the argument "DEVICE",
    // else after the arguments), with the loop major's block driver
    // named `driver` in a fake table when given, and a start sector from the
    // testbed when given.
    run_result check(std::vector<std::string> args, const std::string& driver = "",
                     const std::string& start = "") {
        run_spec spec;
        spec.program = sbin(prog);
        auto slot = std::find(args.begin(), args.end(), "DEVICE");
        if (slot == args.end())
            args.push_back(loop.path());
        else
            *slot = loop.path();
        spec.args = args;
        if (!driver.empty()) {
            std::string table = dir.file("devices");
            write_file(table, "Character devices:\n  1 mem\n  7 vcs\n\nBlock devices:\n  " +
                                  std::to_string(major(loop.rdev())) + " " + driver + "\n");
            spec.binds = {{table, "/proc/devices"}};
        }
        if (!start.empty()) {
            spec.preload = true;
            spec.env = {{"VLM_TESTBED_GEOMETRY", loop.path() + "=" + start}};
        }
        return run(spec);
    }

    std::string not_a_partition() const {
        return "Device \"" + loop.path() + "\" is not a partition\n";
    }

    scratch_dir dir;
    loop_device loop;
};

TEST_F(CandidateLoop, WholeDevicesPassByTheirDriverName) {
    // The real table names the loop driver.
    expect_refused(check({}), 0, "");
    expect_refused(check({"-v"}), 0, "");
    for (const char* accepted :
         {"ramdisk", "loop", "md", "device-mapper", "VxVM", "VxDMP", "vdisk", "nvme"})
        expect_refused(check({"-v"}, accepted), 0, "");
    for (const char* refused : {"mdp", "blkext", "Loop", "loop0", "device", "sd"}) {
        SCOPED_TRACE(refused);
        expect_refused(check({}, refused), -EINVAL, "");
        expect_refused(check({"-v"}, refused), -EINVAL, not_a_partition());
        expect_refused(check({"-f"}, refused), 0, "");
        expect_refused(check({"--force", "--verbose"}, refused), 0, "");
    }
}

TEST_F(CandidateLoop, PartitionsPassWhateverTheirDriver) {
    expect_refused(check({"-v"}, "sd", "2048"), 0, "");
    // A start of 0 or a failed geometry query is a whole device.
    expect_refused(check({"-v"}, "sd", "0"), -EINVAL, not_a_partition());
    expect_refused(check({"-v"}, "sd", "fail"), -EINVAL, not_a_partition());
    expect_refused(check({"-v"}, "loop", "fail"), 0, "");
}

TEST_F(CandidateLoop, ADeviceHeldExclusivelyIsBusyEvenWhenForced) {
    int held = open(loop.path().c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0) << strerror(errno);
    std::string busy = "Unable to open device \"" + loop.path() + "\": Device or resource busy\n";
    expect_refused(check({}), -EBUSY, "");
    expect_refused(check({"-v"}), -EBUSY, busy);
    expect_refused(check({"-f", "-v"}, "", "2048"), -EBUSY, busy);
    close(held);
    expect_refused(check({"-f", "-v"}), 0, "");
}

TEST_F(CandidateLoop, AnOperandMayStandBeforeTheOptions) {
    expect_refused(check({"DEVICE", "-v"}, "sd"), -EINVAL, not_a_partition());
    expect_refused(check({"DEVICE", "-f"}, "sd"), 0, "");
}

}  // namespace
