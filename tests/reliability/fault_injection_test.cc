// SPDX-License-Identifier: GPL-2.0-or-later
// The label program under the testbed's faults: interrupted, refused and
// short transfers are repeated to the end, a transfer of nothing is "no
// space", an I/O error and a failed flush are reported with their text, and
// every allocation failure ends with its message. In no case is a label
// block left half written or a byte outside the label fields changed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "reliability.h"
#include "support.h"

using namespace vlm::test;

namespace {

const std::string reader = "velmortev-read-label";
const std::string writer = "velmortev-write-label";

class LabelFaults : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        ASSERT_EQ(disk.attach(3 << 20, GetParam(), GetParam()), "");
        dev = disk.path();
    }
    // Runs the program and checks that it failed with the status and the
    // one message given.
    void expect_failure(const std::string& name, const std::vector<std::string>& args,
                        const environment& env, int status, const std::string& message) {
        run_result r = run_label(name, args, env);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, name + ": " + message);
    }
    std::string tail() { return read_bytes(dev, (3 << 20) - (1 << 20), 1 << 20); }
    void label_with(const std::string& text) {
        ASSERT_EQ(run_label(writer, {"-f", dev, text}).status, 0);
    }

    random_disk disk;
    std::string dev;
};

TEST_P(LabelFaults, InterruptedRefusedAndShortTransfersAreRepeated) {
    const environment plans[] = {
        {{"VLM_TESTBED_FAULT_PREAD", "eintr:3"}, {"VLM_TESTBED_FAULT_PWRITE", "eintr:3"}},
        {{"VLM_TESTBED_FAULT_PREAD", "eagain:2"}, {"VLM_TESTBED_FAULT_PWRITE", "eagain:2"},
         {"VLM_TESTBED_FAULT_FSYNC", "eintr:2"}},
        {{"VLM_TESTBED_FAULT_PREAD", "short:100"}, {"VLM_TESTBED_FAULT_PWRITE", "short:100"}},
        {{"VLM_TESTBED_FAULT_PREAD", "eintr:1,short:7"},
         {"VLM_TESTBED_FAULT_PWRITE", "eagain:1,pass:0,short:333"}},
    };
    int round = 0;
    for (const environment& env : plans) {
        std::string label = "ROUND" + std::to_string(++round);
        std::string before = disk.first_block();
        run_result r = run_label(writer, {"-f", dev, label}, env);
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(disk.first_block(), labelled_block(before, label)) << label;

        r = run_label(reader, {dev}, env);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, label + ":" + dev + "\n");
    }
    std::string before = disk.first_block();
    run_result r = run_label(writer, {"-d", dev}, plans[3]);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(disk.first_block(), cleared_block(before));
    EXPECT_TRUE(only_label_fields_differ(disk.original_head(), disk.head()));
}

TEST_P(LabelFaults, ZeroingRepeatsAndCompletesShortWrites) {
    std::string before = disk.first_block();
    run_result r = run_label(writer, {"-c", dev, "zeroed"},
                             {{"VLM_TESTBED_FAULT_WRITE", "eintr:2,eagain:2,short:200000"}});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string zero_block(GetParam(), '\0');
    std::memcpy(zero_block.data() + 12, before.data() + 12, 4);
    zero_block.replace(40, 24, before.substr(40, 24));
    EXPECT_EQ(disk.first_block(), labelled_block(zero_block, "ZEROED"));
    EXPECT_TRUE(read_bytes(dev, GetParam(), (1 << 20) - GetParam()) ==
                std::string((1 << 20) - GetParam(), '\0'));
    EXPECT_TRUE(tail() == std::string(1 << 20, '\0'));
}

TEST_P(LabelFaults, TransfersOfNothingAreNoSpace) {
    const std::string no_space = "\": No space left on device\n";
    expect_failure(reader, {dev}, {{"VLM_TESTBED_FAULT_PREAD", "zero"}}, 228,
                   "Unable to read device \"" + dev + no_space);
    expect_failure(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PREAD", "zero"}}, 228,
                   "Unable to read device \"" + dev + no_space);
    // The block is read again just before it is written.
    expect_failure(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PREAD", "pass:1,zero"}}, 228,
                   "Unable to label device \"" + dev + no_space);
    expect_failure(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PWRITE", "zero"}}, 228,
                   "Unable to label device \"" + dev + no_space);
    expect_failure(writer, {"-c", dev, "a"}, {{"VLM_TESTBED_FAULT_WRITE", "zero"}}, 228,
                   "Unable to clear device \"" + dev + no_space);
    EXPECT_TRUE(disk.head() == disk.original_head());

    label_with("kept");
    std::string labelled = disk.first_block();
    expect_failure(writer, {"-d", dev}, {{"VLM_TESTBED_FAULT_PWRITE", "zero"}}, 228,
                   "Unable to remove label from device \"" + dev + no_space);
    EXPECT_EQ(disk.first_block(), labelled);
}

TEST_P(LabelFaults, InputOutputErrorsAreReportedWithTheirText) {
    const std::string eio = "\": Input/output error\n";
    expect_failure(reader, {dev}, {{"VLM_TESTBED_FAULT_PREAD", "eio"}}, 251,
                   "Unable to read device \"" + dev + eio);
    expect_failure(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PREAD", "eintr:2,eio"}}, 251,
                   "Unable to read device \"" + dev + eio);
    expect_failure(writer, {dev, "a"}, {{"VLM_TESTBED_FAULT_PWRITE", "eagain:5,eio"}}, 251,
                   "Unable to label device \"" + dev + eio);
    expect_failure(writer, {"-c", dev, "a"}, {{"VLM_TESTBED_FAULT_WRITE", "eio"}}, 251,
                   "Unable to clear device \"" + dev + eio);
    EXPECT_TRUE(disk.head() == disk.original_head());

    label_with("kept");
    std::string labelled = disk.first_block();
    expect_failure(writer, {"-d", dev}, {{"VLM_TESTBED_FAULT_PWRITE", "eio"}}, 251,
                   "Unable to remove label from device \"" + dev + eio);
    EXPECT_EQ(disk.first_block(), labelled);

    // The first MiB is zeroed, the last fails: no label is written.
    std::string old_tail = tail();
    expect_failure(writer, {"-f", "-c", dev, "a"}, {{"VLM_TESTBED_FAULT_WRITE", "pass:1,eio"}},
                   251, "Unable to clear device \"" + dev + eio);
    EXPECT_TRUE(disk.head() == std::string(1 << 20, '\0'));
    EXPECT_TRUE(tail() == old_tail);
}

// A write is only done once the device has flushed it: a failed fsync is the
// failed write of its step, with the same message.
TEST_P(LabelFaults, FailedFlushIsAFailedWrite) {
    const std::string eio = "\": Input/output error\n";
    expect_failure(writer, {dev, "first"}, {{"VLM_TESTBED_FAULT_FSYNC", "eio"}}, 251,
                   "Unable to label device \"" + dev + eio);
    label_with("kept");
    expect_failure(writer, {"-d", dev}, {{"VLM_TESTBED_FAULT_FSYNC", "eio"}}, 251,
                   "Unable to remove label from device \"" + dev + eio);

    label_with("kept");
    expect_failure(writer, {"-f", "-c", dev, "a"}, {{"VLM_TESTBED_FAULT_FSYNC", "eio"}}, 251,
                   "Unable to clear device \"" + dev + eio);
    EXPECT_EQ(disk.first_block(), std::string(GetParam(), '\0'));  // no label after it

    expect_failure(writer, {"-c", dev, "a"}, {{"VLM_TESTBED_FAULT_FSYNC", "pass:1,eio"}}, 251,
                   "Unable to label device \"" + dev + eio);
}

TEST_P(LabelFaults, EveryAllocationFailureEndsWithItsMessage) {
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer's allocations bypass the testbed's count";
    std::string r_prefix = reader + ": ", w_prefix = writer + ": ";
    std::string read_failed = "Unable to read device \"" + dev + "\": Cannot allocate memory\n";
    std::string oom = "Unable to allocate memory\n";
    auto with_errno_text = [&](const std::string& what) {
        return w_prefix + what + " \"" + dev + "\": Cannot allocate memory\n";
    };
    struct scenario {
        std::string name;
        std::vector<std::string> args;
        bool labelled;
        std::set<outcome> expected;
    };
    const scenario scenarios[] = {
        {reader, {dev}, true, {{244, r_prefix + read_failed}, {244, r_prefix + oom}}},
        {writer, {dev, "new"}, false,
         {{244, w_prefix + read_failed}, {244, with_errno_text("Unable to label device")}}},
        {writer, {dev, "new"}, true, {{244, w_prefix + read_failed}, {239, w_prefix + oom}}},
        {writer, {"-c", "-f", dev, "new"}, true,
         {{244, w_prefix + read_failed}, {244, with_errno_text("Unable to clear device")},
          {244, with_errno_text("Unable to label device")}}},
        {writer, {"-d", dev}, true,
         {{244, w_prefix + read_failed},
          {244, with_errno_text("Unable to remove label from device")}}},
    };
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.name + " " + s.args[0]);
        std::string before;
        auto prepare = [&] {
            write_bytes(dev, 0, disk.original_head());
            if (s.labelled)
                label_with("old");
            before = disk.first_block();
        };
        // Nothing is written on a failure, except the zeroing that -c did
        // before its label could be written.
        auto check = [&](int n, const run_result& r) {
            EXPECT_EQ(r.out, "");
            bool zeroed = r.err.find("Unable to label") != std::string::npos && s.args[0] == "-c";
            EXPECT_EQ(disk.first_block(), zeroed ? std::string(GetParam(), '\0') : before)
                << "allocation " << n;
        };
        run_spec spec;
        spec.program = sbin(s.name);
        spec.args = s.args;
        EXPECT_EQ(allocation_outcomes(spec, prepare, check), s.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, LabelFaults, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

// A path swapped for a regular file between the look at it and the open is
// refused by the look at the opened file: the label writer and the candidate
// test end with -ENOTBLK, and neither the file nor the device changes.
TEST(SwappedPath, RegularFileSwappedInBeforeTheOpenIsRefused) {
    REQUIRE_LOOP_DEVICES();
    random_disk disk;
    ASSERT_EQ(disk.attach(3 << 20, 512, 11), "");
    scratch_dir dir;
    const std::string path = dir.file("disk"), plain = dir.file("plain");
    const std::string content = disk.first_block() + std::string(4096, 'p');
    const struct {
        std::string program;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {writer, {"-f", path, "swapped"},
         writer + ": Unable to open device \"" + path + "\": Block device required\n"},
        {"velmortev-candidate-p", {"-v", "-f", path},
         "velmortev-candidate-p: Device \"" + path + "\" is not a block device\n"},
    };
    for (const auto& c : cases) {
        unlink(path.c_str());
        ASSERT_EQ(symlink(disk.path().c_str(), path.c_str()), 0);
        write_file(plain, content);
        run_spec spec;
        spec.program = sbin(c.program);
        spec.args = c.args;
        spec.preload = true;
        spec.env = {{"VLM_TESTBED_SWAP_AT_OPEN", path + "=" + plain}};
        run_result r = run(spec);
        EXPECT_EQ(r.status, shell_status(-ENOTBLK)) << c.program << ": " << r.err;
        EXPECT_EQ(r.err, c.message);
        EXPECT_TRUE(read_file(path) == content) << c.program;
        EXPECT_TRUE(disk.head() == disk.original_head()) << c.program;
    }
}

// The layer itself, loaded into the test: its calls are used directly, so
// that what they do to a device can be seen call by call. (Each test runs
// in a process of its own, and the layer reads its plans on first use.)
class TestbedLayer : public ::testing::Test {
protected:
    template <typename F>
    F layer_call(const char* name) {
        if (!layer)
            layer = dlopen(testbed("libvlm_testbed.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(layer, nullptr) << dlerror();
        return layer ? reinterpret_cast<F>(dlsym(layer, name)) : nullptr;
    }
    void* layer = nullptr;
};

// A short write on a direct descriptor really leaves only part of the block
// written, and an unaligned follow-up call goes on where it stopped.
TEST_F(TestbedLayer, ShortTransfersMovePartOfABlock) {
    REQUIRE_LOOP_DEVICES();
    random_disk disk;
    ASSERT_EQ(disk.attach(1 << 20, 4096, 11), "");
    setenv("VLM_TESTBED_FAULT_PWRITE", "short:100", 1);
    setenv("VLM_TESTBED_FAULT_PREAD", "short:7", 1);
    auto layer_pwrite = layer_call<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    auto layer_pread = layer_call<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    ASSERT_TRUE(layer_pwrite && layer_pread);
    int fd = open(disk.path().c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* mem = nullptr;
    ASSERT_EQ(posix_memalign(&mem, 4096, 4096), 0);
    std::memset(mem, 'N', 4096);
    const char* data = static_cast<const char*>(mem);

    std::string before = disk.first_block();
    EXPECT_EQ(layer_pwrite(fd, data, 4096, 0), 100);
    EXPECT_EQ(disk.first_block(), std::string(100, 'N') + before.substr(100));
    EXPECT_EQ(layer_pwrite(fd, data + 100, 3996, 100), 100);
    EXPECT_EQ(disk.first_block(), std::string(200, 'N') + before.substr(200));

    char got[64];
    EXPECT_EQ(layer_pread(fd, got, sizeof got, 195), 7);
    EXPECT_EQ(std::string(got, 7), "NNNNN" + before.substr(200, 2));
    close(fd);
    free(mem);
}

// Steps are taken one call at a time, in order; the last one holds; only
// block devices are steered.
TEST_F(TestbedLayer, StepsComeInOrderOnBlockDevicesOnly) {
    REQUIRE_LOOP_DEVICES();
    random_disk disk;
    ASSERT_EQ(disk.attach(1 << 20, 512, 12), "");
    setenv("VLM_TESTBED_FAULT_WRITE", "pass:1,eintr:1,eagain:2,zero", 1);
    auto layer_write = layer_call<ssize_t (*)(int, const void*, size_t)>("write");
    ASSERT_TRUE(layer_write);
    int fd = open(disk.path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const char bytes[512] = {};
    std::vector<std::pair<ssize_t, int>> seen;
    for (int call = 0; call < 6; call++) {
        errno = 0;
        ssize_t n = layer_write(fd, bytes, sizeof bytes);
        seen.push_back({n, n < 0 ? errno : 0});
        EXPECT_EQ(layer_write(pipe_ends[1], "x", 1), 1);  // never steered
    }
    using step = std::pair<ssize_t, int>;
    EXPECT_EQ(seen, (std::vector<step>{{512, 0}, {-1, EINTR}, {-1, EAGAIN}, {-1, EAGAIN}, {0, 0}, {0, 0}}));
    close(fd);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

}  // namespace
