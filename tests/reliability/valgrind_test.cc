// SPDX-License-Identifier: GPL-2.0-or-later
// Each program's main paths under valgrind: no memory error, no definitely
// lost block and no descriptor left open at exit that the program opened
// itself. The outcome of each run is checked too, so that a path counts only
// when it was really taken. The testbed's allocation failures are left out:
// valgrind's own work at exit allocates inside the program and must not fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include <sstream>
#include <string>
#include <vector>

#include "reliability.h"
#include "support.h"

using namespace vlm::test;

namespace {

// Finds memory errors, definite leaks and descriptors opened by the program
// that are still open at exit, in a valgrind log.
::testing::AssertionResult clean_log(const std::string& log) {
    if (log.find("ERROR SUMMARY: 0 errors") == std::string::npos)
        return ::testing::AssertionFailure() << "memory errors or leaks:\n" << log;
    std::istringstream lines(log);
    std::string line, leaked;
    bool in_descriptor = false;
    while (std::getline(lines, line)) {
        if (line.find("Open file descriptor") != std::string::npos) {
            in_descriptor = true;
            leaked = line;
        } else if (in_descriptor) {
            if (line.find("<inherited from parent>") == std::string::npos)
                return ::testing::AssertionFailure() << "descriptor left open:\n" << leaked << "\n" << log;
            in_descriptor = false;
        }
    }
    return ::testing::AssertionSuccess();
}

class UnderValgrind : public ::testing::Test {
protected:
    // Runs the run_spec's program (a kit program by name, or a path) under
    // valgrind with the testbed layer; returns its result, having checked
    // the log. tevscan's children, run as tevtool, are not followed.
    run_result check(run_spec spec) {
        std::string log = dir.file("valgrind." + std::to_string(++runs));
        std::string program = spec.program.find('/') == std::string::npos ? sbin(spec.program)
                                                                          : spec.program;
        std::vector<std::string> args = {"--leak-check=full", "--show-leak-kinds=definite",
                                         "--errors-for-leak-kinds=definite", "--track-fds=yes",
                                         "--child-silent-after-fork=yes", "--error-exitcode=99",
                                         "--log-file=" + log, program};
        args.insert(args.end(), spec.args.begin(), spec.args.end());
        std::string what = program + " " + ::testing::PrintToString(spec.args);
        spec.program = VALGRIND;
        spec.args = args;
        spec.preload = true;
        spec.timeout_seconds = 120;
        run_result r = run(spec);
        std::string text = read_file(log);
        EXPECT_NE(r.status, 99) << what << ": valgrind found errors:\n" << text;
        EXPECT_TRUE(clean_log(text)) << what;
        return r;
    }
    run_result check(const std::string& program, const std::vector<std::string>& args,
                     const environment& env = {}) {
        run_spec spec;
        spec.program = program;
        spec.args = args;
        spec.env = env;
        return check(spec);
    }
    // A partition table that lists only the given loop devices, bound over
    // /proc/partitions for the run.
    std::string table_of(const std::vector<const loop_device*>& devices) {
        std::string text = "major minor  #blocks  name\n\n";
        for (const loop_device* d : devices)
            text += "   " + std::to_string(major(d->rdev())) + "  " + std::to_string(minor(d->rdev())) +
                    "  4096 " + d->path().substr(5) + "\n";
        std::string path = dir.file("partitions." + std::to_string(++runs));
        write_file(path, text);
        return path;
    }

    scratch_dir dir;
    int runs = 0;
};

TEST_F(UnderValgrind, LabelProgram) {
    const std::string reader = "velmortev-read-label", writer = "velmortev-write-label";
    EXPECT_EQ(check(reader, {"-h"}).status, 0);
    EXPECT_EQ(check(writer, {"--version"}).status, 0);
    EXPECT_EQ(check(reader, {"-d", "x"}).status, 234);
    EXPECT_EQ(check(writer, {"x", "1abc"}).status, 234);
    EXPECT_EQ(check(writer, {"-d", "x", "y"}).status, 234);
    EXPECT_EQ(check(writer, {"/nonexistent", "a"}).status, 254);
    EXPECT_EQ(check(reader, {"/dev/null"}).status, 241);
    std::string foo = dir.file("foo");
    ASSERT_EQ(symlink(sbin(reader).c_str(), foo.c_str()), 0);
    EXPECT_EQ(check(foo, {"-h"}).status, 254);

    REQUIRE_LOOP_DEVICES();
    random_disk disk;
    ASSERT_EQ(disk.attach(3 << 20, 512, 7), "");
    std::string dev = disk.path();
    EXPECT_EQ(check(reader, {dev}).out, "");
    EXPECT_EQ(check(writer, {dev, "data1"}).status, 0);
    EXPECT_EQ(check(reader, {dev}).out, "DATA1:" + dev + "\n");
    EXPECT_EQ(check(writer, {dev, "other"}).status, 239);
    EXPECT_EQ(check(writer, {"-f", "-c", dev, "zeroed"}).status, 0);
    EXPECT_EQ(check(writer, {"-c", "-f", dev, ""}).status, 234);
    EXPECT_EQ(check(writer, {"-f", dev, "again"}).status, 0);
    EXPECT_EQ(check(writer, {"-d", dev}).status, 0);
    EXPECT_EQ(check(reader, {"-r", dev}).out, ":" + dev + "\n");
    EXPECT_EQ(check(writer, {"-d", "-r", dev}).status, 0);
    EXPECT_EQ(check(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PWRITE", "eio"}}).status, 251);
    EXPECT_EQ(check(reader, {dev}, {{"VLM_TESTBED_FAULT_PREAD", "zero"}}).status, 228);
    EXPECT_EQ(check(writer, {"-c", dev, "a"}, {{"VLM_TESTBED_FAULT_WRITE", "pass:1,eio"}}).status, 251);

    int held = open(dev.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(check(writer, {dev, "busy"}).status, 240);
    close(held);

    loop_device small;  // too small for the zeroing and for one block
    ASSERT_EQ(small.attach(dir.file("small.img"), 100, 512), "");
    EXPECT_EQ(check(reader, {small.path()}).status, 228);
}

TEST_F(UnderValgrind, ScanProgram) {
    EXPECT_EQ(check("velmortev-scan-partitions", {"--helpme"}).status, 234);
    EXPECT_EQ(check("velmortev-scan-partitions", {"-o", "sd", "-o", ""}).status, 234);
    REQUIRE_LOOP_DEVICES();
    loop_device a, b;
    ASSERT_EQ(a.attach(dir.file("a.img"), 1 << 20), "");
    ASSERT_EQ(b.attach(dir.file("b.img"), 1 << 20), "");
    std::string lookup = dir.file("lookup");
    std::filesystem::create_directories(lookup);
    write_file(lookup + "/" + b.path().substr(5), "");
    run_spec spec;
    spec.program = "velmortev-scan-partitions";
    spec.binds = {{table_of({&a, &b}), "/proc/partitions"}};
    spec.args = {"-D", lookup + "/", "-o", b.path().substr(5), "-x", "nothing", "-l", "x"};
    run_result r = check(spec);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, lookup + "/" + b.path().substr(5) + "\n" + b.path() + "\n" + a.path() + "\n");
    spec.args = {"-D", "/dev/", "-D", dir.file("missing/")};
    EXPECT_EQ(check(spec).out, a.path() + "\n" + b.path() + "\n");
}

TEST_F(UnderValgrind, DiskProgram) {
    const std::string instantiate = "velmortev-instantiate-disk", clean = "velmortev-clean-disk";
    EXPECT_EQ(check(clean, {"-l", "", "x"}).status, 234);
    EXPECT_EQ(check(instantiate, {"-l", "/m", "/dev/null", "1x"}).status, 234);
    EXPECT_EQ(check(clean, {"-l", dir.path(), "data1"}).status, 250);  // not a manager
    REQUIRE_LOOP_DEVICES();
    loop_device disk;
    ASSERT_EQ(disk.attach(dir.file("disk.img"), 1 << 20), "");
    std::string manager = dir.file("manager");
    std::filesystem::create_directories(manager + "/disks");
    environment env = {{"VLM_TESTBED_MANAGERS", manager}};
    EXPECT_EQ(check(instantiate, {"-l", manager, disk.path(), "data1"}, env).status, 0);
    EXPECT_EQ(check(instantiate, {"-l", manager, disk.path(), "data1"}, env).status, 255);
    EXPECT_EQ(check(instantiate, {"-l", manager, dir.file("disk.img"), "other"}, env).status, 241);
    EXPECT_EQ(check(clean, {"-l", manager, "data1"}, env).status, 0);
    EXPECT_EQ(check(clean, {"-l", manager + "/", "data1"}, env).status, 255);
}

TEST_F(UnderValgrind, CandidateProgram) {
    const std::string candidate = "velmortev-candidate-p";
    EXPECT_EQ(check(candidate, {"--forc", "x"}).status, 234);
    EXPECT_EQ(check(candidate, {"-v", "/nonexistent"}).status, 254);
    EXPECT_EQ(check(candidate, {"-v", "/dev/null"}).status, 241);
    REQUIRE_LOOP_DEVICES();
    loop_device disk;
    ASSERT_EQ(disk.attach(dir.file("disk.img"), 1 << 20), "");
    EXPECT_EQ(check(candidate, {"-v", disk.path()}).status, 0);  // a loop device, whole
    EXPECT_EQ(check(candidate, {"--force", disk.path()}).status, 0);
    EXPECT_EQ(check(candidate, {disk.path()}, {{"VLM_TESTBED_GEOMETRY", disk.path() + "=2048"}})
                  .status, 0);
    int held = open(disk.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(check(candidate, {"-v", disk.path()}).status, 240);
    close(held);
}

TEST_F(UnderValgrind, ReloadProgram) {
    EXPECT_EQ(check("velmortev-reload-partitions", {"-x"}).status, 234);
    EXPECT_EQ(check("velmortev-reload-partitions", {"/dev/null"}).status, 234);
    REQUIRE_LOOP_DEVICES();
    loop_device disk;
    ASSERT_EQ(disk.attach(dir.file("disk.img"), 1 << 20), "");
    std::string log = dir.file("rrpart.log");
    run_spec spec;
    spec.program = "velmortev-reload-partitions";
    spec.input = disk.path() + "\n/nonexistent\n\n" + dir.file("disk.img") + "\n" + disk.path();
    spec.env = {{"VLM_TESTBED_RRPART_LOG", log},
                {"VLM_TESTBED_GEOMETRY", disk.path() + "=0"}};
    run_result r = check(spec);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::string rdev = std::to_string(major(disk.rdev())) + ":" + std::to_string(minor(disk.rdev()));
    EXPECT_EQ(read_file(log), rdev + "\n" + rdev + "\n");
}

TEST_F(UnderValgrind, DiscoverProgram) {
    const std::string discover = "velmortev-discover";
    environment found = {{"LD_LIBRARY_PATH", testbed(".")},
                         {"VLM_TESTBED_LIBTEV_RECORDS", "DISK1:512:2048:128:1,DISK2:4096:10:8:0"}};
    run_result r = check(discover, {}, found);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Discovered disk: DISK2"), std::string::npos) << r.out;
    environment failing = found;
    failing.push_back({"VLM_TESTBED_LIBTEV_FAIL", "tev_fetch:5:1"});
    EXPECT_EQ(check(discover, {"VLMR:*"}, failing).status, 0);
    failing.back().second = "tev_init:7";
    EXPECT_EQ(check(discover, {}, failing).status, 1);
    failing.back().second = "tev_version:5";
    EXPECT_EQ(check(discover, {}, failing).status, 5);
    EXPECT_EQ(check(discover, {}, {{"LD_LIBRARY_PATH", testbed("libtev-variants/no-several")}})
                  .status, 1);
    EXPECT_EQ(check(discover, {}, {{"LD_LIBRARY_PATH", dir.path()}}).status, 1);
}

TEST_F(UnderValgrind, TevscanProgram) {
    EXPECT_EQ(check("tevscan", {"-q"}).status, 234);
    EXPECT_EQ(check("tevscan", {"-l", dir.file("nowhere")}).status, 254);
    REQUIRE_LOOP_DEVICES();
    random_disk labelled;
    ASSERT_EQ(labelled.attach(1 << 20, 512, 3), "");
    ASSERT_EQ(run_label("velmortev-write-label", {labelled.path(), "data1"}).status, 0);
    loop_device plain;
    ASSERT_EQ(plain.attach(dir.file("plain.img"), 1 << 20), "");
    std::string manager = dir.file("manager");
    std::filesystem::create_directories(manager + "/disks");
    write_file(manager + "/disks/STALE", "");  // not a disk: cleaned

    run_spec spec;
    spec.program = "tevscan";
    spec.args = {"-l", manager, "-s", plain.path().substr(5), "-x", "nothing"};
    spec.binds = {{table_of({&labelled.loop(), &plain}), "/proc/partitions"}};
    spec.env = {{"PATH", testbed("bin") + ":/usr/bin:/bin"}, {"VLM_TESTBED_MANAGERS", manager}};
    run_result r = check(spec);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Cleaning disk \"STALE\"\nInstantating disk \"DATA1\"\n") << r.err;
    EXPECT_TRUE(std::filesystem::exists(manager + "/disks/DATA1"));
    r = check(spec);  // the disk is valid and kept; creating it again finds it there
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Instantating disk \"DATA1\"\n");
}

TEST_F(UnderValgrind, FrontEnd) {
    EXPECT_EQ(check("velmortev", {"list", "-q"}).status, 234);
    REQUIRE_LOOP_DEVICES();
    random_disk labelled;
    ASSERT_EQ(labelled.attach(1 << 20, 512, 3), "");
    ASSERT_EQ(run_label("velmortev-write-label", {labelled.path(), "data1"}).status, 0);
    loop_device plain;
    ASSERT_EQ(plain.attach(dir.file("front.img"), 1 << 20), "");
    std::string manager = dir.file("front-manager");
    std::filesystem::create_directories(manager + "/disks");
    std::string etc = dir.file("front-etc");
    std::filesystem::create_directories(etc + "/conf.d");
    write_file(etc + "/conf.d/10.conf", "SCAN_ORDER=\"dm loop\"\nBACKUP_DIR=" + dir.file("b") + "\n");

    run_spec spec;
    spec.program = "velmortev";
    spec.binds = {{table_of({&labelled.loop(), &plain}), "/proc/partitions"}};
    spec.env = {{"VLM_TESTBED_MANAGERS", manager}, {"VELMORTEV_CONFIG_DIR", etc}};
    struct {
        std::vector<std::string> args;
        std::string first_line;
    } runs_of[] = {
        {{"list", "-m", manager, "-o", "json"}, "{"},
        {{"show", "-m", manager, "data1"}, "DATA1 " + labelled.path() + " "},
        {{"create", "-n", "-m", manager, plain.path(), "data2"},
         "Would save bytes 0-511 of " + plain.path()},
        {{"rename", "-n", "-m", manager, "data1", "data3"},
         "Would save bytes 0-511 of " + labelled.path()},
        {{"config"}, "MANAGERS=\"\"\t# default"},
    };
    for (auto& c : runs_of) {
        spec.args = c.args;
        run_result r = check(spec);
        EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out.substr(0, c.first_line.size()), c.first_line) << c.args[0];
    }
}

}  // namespace
