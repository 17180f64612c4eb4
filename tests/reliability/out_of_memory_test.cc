// SPDX-License-Identifier: GPL-2.0-or-later
// Each program with allocations failing one at a time, through the testbed
// layer: every failure ends with the message and status the program has for
// it (or, where there is none, passes silently as designed), never with a
// crash, and leaves nothing half done.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>

#include "reliability.h"
#include "support.h"

using namespace vlm::test;

namespace {

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        if (sanitized_build())
            GTEST_SKIP() << "the sanitizer's allocations bypass the testbed's count";
    }
    // A partition table of fake names (no device behind them) bound over
    // /proc/partitions.
    std::string table(const std::string& lines) {
        std::string path = dir.file("partitions");
        write_file(path, "major minor  #blocks  name\n\n" + lines);
        return path;
    }
    scratch_dir dir;
};

TEST_F(OutOfMemory, ScanReportsEachAllocationByName) {
    const std::string p = "velmortev-scan-partitions: ";
    std::string lookup = dir.file("lookup/");
    std::filesystem::create_directories(lookup);
    write_file(lookup + "vtb", "");
    run_spec spec;
    spec.program = sbin("velmortev-scan-partitions");
    spec.args = {"-o", "vt", "-x", "vtc", "-D", lookup};
    spec.binds = {{table(" 240 0 8 vta\n 240 1 8 vtb\n 240 2 8 vtc\n"), "/proc/partitions"}};
    int silent_ends = 0;
    std::set<outcome> seen = allocation_outcomes(spec, [] {}, [&](int, const run_result& r) {
        // A device whose record could not be made is left out, the rest
        // are listed.
        if (r.status == 0 && !r.err.empty()) {
            EXPECT_EQ(r.err.find("velmortev-scan-partitions: Error processing device \""), 0u);
        }
        silent_ends += r.status == 244 && r.err.empty();
    });
    // Only the table's read buffer, name buffer and stream end the scan
    // silently.
    EXPECT_EQ(silent_ends, 3);
    std::set<outcome> expected = {
        {244, p + "Unable to allocate order pattern \"vt\"\n"},
        {244, p + "Unable to allocate exclude pattern \"vtc\"\n"},
        {244, p + "Unable to allocate scan dir  \"" + lookup + "\"\n"},
        {244, p + "Unable to create the default pattern\n"},
        {244, p + "Unable to create the default scan-directory\n"},
        {244, ""},  // the table's buffers or stream: silent
        // opendir's own allocation: the directory counts as one that cannot
        // be opened, which gives no names and no message.
        {0, ""},
        {0, p + "Error processing device \"vta\"\n"},
        {0, p + "Error processing device \"vtb\"\n"},
        {0, p + "Error processing device \"vtc\"\n"},  // excluded, but placed all the same
    };
    for (const outcome& o : expected)
        EXPECT_EQ(seen.count(o), 1u) << o.status << " " << o.err;
    for (const outcome& o : seen)
        EXPECT_EQ(expected.count(o), 1u) << "unexpected: " << o.status << " " << o.err;
}

TEST_F(OutOfMemory, DiskNodePathIsNoMemory) {
    std::string manager = dir.file("manager");
    std::filesystem::create_directories(manager + "/disks");
    for (const char* name : {"velmortev-instantiate-disk", "velmortev-clean-disk"}) {
        run_spec spec;
        spec.program = sbin(name);
        spec.args = {"-l", manager};
        if (name[10] == 'i')
            spec.args.push_back(dir.file("no-device"));
        spec.args.push_back("data1");
        spec.env = {{"VLM_TESTBED_MANAGERS", manager}};
        std::set<outcome> seen = allocation_outcomes(spec);
        EXPECT_EQ(seen, (std::set<outcome>{{244, ""}})) << name;
        EXPECT_TRUE(std::filesystem::is_empty(manager + "/disks"));
    }
}

// A lookup whose table could not be read tries again at the next driver
// name, so one failed allocation never turns a loop device away.
TEST_F(OutOfMemory, CandidateReadsTheTableAgainAfterAFailure) {
    REQUIRE_LOOP_DEVICES();
    loop_device disk;
    ASSERT_EQ(disk.attach(dir.file("disk.img"), 1 << 20), "");
    run_spec spec;
    spec.program = sbin("velmortev-candidate-p");
    spec.args = {"-v", disk.path()};
    EXPECT_EQ(allocation_outcomes(spec), std::set<outcome>{});
}

TEST_F(OutOfMemory, ReloadNeedsNoMemoryOfItsOwn) {
    REQUIRE_LOOP_DEVICES();
    loop_device disk;
    ASSERT_EQ(disk.attach(dir.file("disk.img"), 1 << 20), "");
    std::string log = dir.file("rrpart.log");
    run_spec spec;
    spec.program = sbin("velmortev-reload-partitions");
    spec.input = disk.path() + "\n";
    spec.env = {{"VLM_TESTBED_RRPART_LOG", log}};
    EXPECT_EQ(allocation_outcomes(spec), std::set<outcome>{});
}

TEST_F(OutOfMemory, DiscoverNameBuffer) {
    run_spec spec;
    spec.program = sbin("velmortev-discover");
    spec.env = {{"LD_LIBRARY_PATH", testbed(".")},
                {"VLM_TESTBED_LIBTEV_RECORDS", "DISK1:512:2048:128:1"}};
    EXPECT_EQ(allocation_outcomes(spec),
              (std::set<outcome>{
                  {244, "Unable to allocate memory for tevlib_name: Cannot allocate memory\n"}}));
}

TEST_F(OutOfMemory, TevscanGoesOnOrEndsWithNoMemory) {
    std::string manager = dir.file("manager");
    std::filesystem::create_directories(manager + "/disks");
    run_spec spec;
    spec.program = sbin("tevscan");
    spec.args = {"-l", manager, "-s", "vt", "-x", "vtc"};
    spec.binds = {{table(""), "/proc/partitions"}};
    spec.env = {{"PATH", testbed("bin") + ":/usr/bin:/bin"}, {"VLM_TESTBED_MANAGERS", manager}};
    auto prepare = [&] { write_file(manager + "/disks/STALE", ""); };
    const std::string t = "tevscan: ";
    const std::string cannot_run = t + "Error running tevtool on disk \"STALE\": Cannot allocate memory\n";
    EXPECT_EQ(allocation_outcomes(spec, prepare),
              (std::set<outcome>{
                  {0, t + "Error initializing pattern \"vt\"\n"},  // parsing goes on
                  {0, t + "Error initializing pattern \"vtc\"\n"},
                  {244, t + "Unable to create the default pattern\n"},
                  {244, ""},          // the scans' buffers, the directory's path and stream
                  {0, cannot_run},    // the query: the entry stays
                  {244, cannot_run},  // the delete: its outcome is the run's
              }));
}

}  // namespace
