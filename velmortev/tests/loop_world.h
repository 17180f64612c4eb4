// SPDX-License-Identifier: GPL-2.0-or-later
// What the front end's program tests stand on: three loop devices of the
// test's own listed in a partition table of their own, a manager directory
// (given its type by the testbed's layer) and a settings directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace vlm::test {

struct loop_world {
    static constexpr off_t device_size = 8 << 20;

    scratch_dir dir;
    loop_device loops[3];
    std::string manager = dir.file("manager");
    std::string disks = manager + "/disks";
    std::string etc = dir.file("etc");
    std::string table = dir.file("partitions");
    std::string attached;  // what went wrong attaching, if anything

    loop_world() {
        std::filesystem::create_directories(disks);
        std::filesystem::create_directories(etc + "/conf.d");
        std::string text = "major minor  #blocks  name\n\n";
        for (int i = 0; i < 3; i++) {
            std::string why = loops[i].attach(dir.file("disk" + std::to_string(i)), device_size);
            if (!why.empty())
                attached = why;
            text += "   " + std::to_string(major(loops[i].rdev())) + " " +
                    std::to_string(minor(loops[i].rdev())) + " 8192 " +
                    loops[i].path().substr(5) + "\n";
        }
        write_file(table, text);
    }

    // A run of the front end in this world: the manager mounted in the
    // run's namespace (so that it stands in /proc/self/mountinfo) and given
    // its type by the testbed's layer, the table and settings the test's own.
    run_spec front_spec(const std::vector<std::string>& arguments) const {
        run_spec s;
        s.program = sbin("velmortev");
        s.args = arguments;
        s.preload = true;
        s.binds = {{table, "/proc/partitions"}, {manager, manager}};
        s.env = {{"VLM_TESTBED_MANAGERS", manager}, {"VELMORTEV_CONFIG_DIR", etc}};
        return s;
    }

    const std::string& dev(int i) const { return loops[i].path(); }
    void write_label(int i, const std::string& label) const {
        ASSERT_EQ(run_program("velmortev-write-label", {dev(i), label}).status, 0);
    }
};

}  // namespace vlm::test
