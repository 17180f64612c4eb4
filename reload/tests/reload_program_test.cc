// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-reload-partitions run as a user would: which of the loop devices
// named on its standard input receive the reread request, as logged by the
// testbed, and that nothing it is given makes it hang or speak.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "support.h"

using namespace vlm::test;

namespace {

const std::string prog = "velmortev-reload-partitions";
// The command line (help, version, a refused option or operand) is the
// frame's, checked in frame/tests.
class ReloadLoop : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        for (int i = 0; i < 3; i++)
            ASSERT_EQ(loops[i].attach(dir.file("backing" + std::to_string(i)), 1 << 20), "");
    }

    // Runs the program over the input with the geometry switch set, and
    // answers the devices that received the reread request, in order.
    std::string reloaded(const std::string& input, const std::string& geometry = "",
                         int closed_fd = -1) {
        std::string log = dir.file("rrpart.log");
        unlink(log.c_str());
        run_spec spec;
        spec.program = sbin(prog);
        spec.input = input;
        spec.env = {{"VLM_TESTBED_GEOMETRY", geometry}, {"VLM_TESTBED_RRPART_LOG", log}};
        spec.preload = true;
        spec.timeout_seconds = 10;
        spec.closed_fd = closed_fd;
        run_result r = run(spec);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        return access(log.c_str(), F_OK) == 0 ? read_file(log) : "";
    }

    std::string path(int i) const { return loops[i].path(); }
    std::string logged(int i) const {
        return std::to_string(major(loops[i].rdev())) + ":" +
               std::to_string(minor(loops[i].rdev())) + "\n";
    }

    scratch_dir dir;
    loop_device loops[3];
};

TEST_F(ReloadLoop, OnlyWholeDisksAreAskedToReread) {
    EXPECT_EQ(reloaded(""), "");
    // 0 is a partition, 1 a whole disk that fails the geometry query, 2 a
    // whole disk with start 0; the last line has no newline.
    std::string geometry = path(0) + "=2048," + path(1) + "=fail," + path(2) + "=0";
    EXPECT_EQ(reloaded(path(0) + "\n" + path(1) + "\n\n" + path(0) + "\n" + path(2), geometry),
              logged(1) + logged(2));
    // Without the switch a loop device fails the geometry query itself.
    EXPECT_EQ(reloaded(path(2) + "\n" + path(0) + "\n"), logged(2) + logged(0));
}

// A closed standard input reads as an empty list; closed standard output or
// error change nothing.
TEST_F(ReloadLoop, ClosedStandardDescriptors) {
    EXPECT_EQ(reloaded(path(1) + "\n", "", 0), "");
    EXPECT_EQ(reloaded(path(1) + "\n", "", 1), logged(1));
    EXPECT_EQ(reloaded(path(1) + "\n", "", 2), logged(1));
}

TEST_F(ReloadLoop, WhatIsNotABlockDeviceIsPassedOverWithoutHanging) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string file = dir.file("plain");
    write_file(file, "");
    // Paths are not trimmed, so the blank-padded ones do not exist.
    std::string input = fifo + "\n" + dir.path() + "\n/dev/null\n" + file + "\n" +
                        dir.file("missing") + "\n " + path(0) + "\n" + path(0) + " \n" +
                        path(1) + "\n" + fifo;
    EXPECT_EQ(reloaded(input), logged(1));
}

TEST_F(ReloadLoop, ALongLineIsTakenInPiecesOf4095Characters) {
    // The first piece is a 4095-character path to device 0 (extra slashes
    // pad it), the second the path of device 1.
    std::string first = std::string(4095 - path(0).size(), '/') + path(0);
    EXPECT_EQ(reloaded(first + path(1) + "\n" + path(2) + "\n"),
              logged(0) + logged(1) + logged(2));
}

}  // namespace
