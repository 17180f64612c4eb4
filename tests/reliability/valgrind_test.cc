// Each program's main paths under valgrind: no memory error, no definitely
// lost block and no descriptor left open at exit that the program opened
// itself. The outcome of each run is checked too, so that a path counts only
// when it was really taken. The testbed's allocation failures are left out:
// valgrind's own work at exit allocates inside the program and must not fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "labelled_device.h"
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
    // Runs a kit program (by name, or by a path when it holds a '/') under
    // valgrind with the testbed layer; returns its result, having checked the
    // log.
    run_result check(const std::string& program, const std::vector<std::string>& args,
                     const environment& env = {}) {
        std::string log = dir.file("valgrind." + std::to_string(++runs));
        run_spec spec;
        spec.program = VALGRIND;
        spec.args = {"--leak-check=full", "--show-leak-kinds=definite",
                     "--errors-for-leak-kinds=definite", "--track-fds=yes",
                     "--error-exitcode=99", "--log-file=" + log,
                     program.find('/') == std::string::npos ? sbin(program) : program};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = env;
        spec.preload = true;
        spec.timeout_seconds = 120;
        run_result r = run(spec);
        std::string text = read_file(log);
        EXPECT_NE(r.status, 99) << program << ": valgrind found errors:\n" << text;
        EXPECT_TRUE(clean_log(text)) << program << " " << ::testing::PrintToString(args);
        return r;
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

}  // namespace
