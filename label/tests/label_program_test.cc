// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-read-label and velmortev-write-label run as a user would: the
// frame's options and messages, and the bytes they leave on loop devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "support.h"

using namespace vlm::test;

namespace {

const std::string read_usage =
    "Usage: velmortev-read-label <device>\n"
    "       velmortev-read-label -h\n"
    "       velmortev-read-label -V\n";
const std::string write_usage =
    "To label: velmortev-write-label [-f] [-c] <device> <label>\n"
    "To clear: velmortev-write-label -d <device>\n"
    "          velmortev-write-label -h\n"
    "          velmortev-write-label -V\n";

run_result reader(const std::vector<std::string>& args) {
    return run_program("velmortev-read-label", args);
}
run_result writer(const std::vector<std::string>& args) {
    return run_program("velmortev-write-label", args);
}

void expect_usage_error(const run_result& r, const std::string& prog, const std::string& message,
                        const std::string& usage) {
    EXPECT_EQ(r.status, 234);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, prog + ": " + message + usage);
}

// The frame's shared rules are checked in frame/tests; here what is the
// label program's own.
TEST(LabelFrame, InvalidOptionsEndWithUsageOnStandardError) {
    expect_usage_error(reader({"-r-"}), "velmortev-read-label",
                       "parse_options: Can't get here\n", read_usage);
    for (const char* letter : {"-d", "-c", "-f"})
        expect_usage_error(reader({letter, "/nonexistent"}), "velmortev-read-label",
                           std::string("Invalid option: '") + letter + "'\n", read_usage);
}

TEST(LabelFrame, OperandChecksComeBeforeTheDevice) {
    expect_usage_error(writer({"-d", "/nonexistent", "LABEL"}), "velmortev-write-label",
                       "Too many arguments\n", write_usage);
    expect_usage_error(writer({"/nonexistent", "1abc"}), "velmortev-write-label",
                       "Invalid characters in label: '1'\n", write_usage);
}

TEST(LabelFrame, InvocationNameChoosesTheMode) {
    run_spec spec;
    spec.program = sbin("velmortev-write-label");
    spec.argv0 = "velmortev-read-label";
    spec.args = {"/nonexistent", "-r"};  // options after operands are accepted
    run_result r = run(spec);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "velmortev-read-label: Unable to open device \"/nonexistent\": "
                     "No such file or directory\n");
}

TEST(LabelDevice, RefusesWhatIsNotABlockDevice) {
    scratch_dir dir;
    std::string file = dir.file("plain");
    write_file(file, std::string(4096, 'x'));
    for (const std::string& path : {file, std::string("/dev/null")}) {
        run_result r = writer({path, "A"});
        EXPECT_EQ(r.status, 241);
        EXPECT_EQ(r.err, "velmortev-write-label: Unable to open device \"" + path +
                             "\": Block device required\n");
        r = reader({path});
        EXPECT_EQ(r.status, 241);
    }
    EXPECT_EQ(read_file(file), std::string(4096, 'x'));
}

// A loop device whose first blocks hold random bytes, so that any byte the
// programs should keep but change is seen.
class LabelOnLoop : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        attach(4 << 20);
    }
    void attach(off_t size) {
        std::string failure = loop.attach(dir.file("disk.img"), size, GetParam());
        ASSERT_EQ(failure, "");
        std::mt19937 random(GetParam());
        original.resize(GetParam() * 2);
        for (char& c : original)
            c = char(random());
        write_bytes(loop.path(), 0, original);
    }
    unsigned block() const { return GetParam(); }
    std::string first_block() { return read_bytes(loop.path(), 0, block()); }
    static uint32_t checksum_of(const std::string& block) {
        uint32_t v;
        std::memcpy(&v, block.data() + 12, 4);
        return v;
    }
    static uint32_t fold(const std::string& label24) {
        uint32_t f = 0;
        for (int w = 0; w < 6; w++) {
            uint32_t v;
            std::memcpy(&v, label24.data() + 4 * w, 4);
            f ^= v;
        }
        return f;
    }
    // Every byte but the checksum, magic and label keeps its earlier value.
    void expect_only_fields_changed(const std::string& before, const std::string& after) {
        ASSERT_EQ(before.size(), after.size());
        for (size_t i = 0; i < before.size(); i++) {
            bool field = (i >= 12 && i < 16) || (i >= 32 && i < 64);
            if (!field) {
                ASSERT_EQ(before[i], after[i]) << "byte " << i;
            }
        }
    }

    scratch_dir dir;
    loop_device loop;
    std::string original;
};

TEST_P(LabelOnLoop, WriteReadReplaceAndClear) {
    std::string dev = loop.path();
    run_result r = reader({dev});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    r = writer({dev, "data1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    std::string labelled = first_block();
    expect_only_fields_changed(original.substr(0, block()), labelled);
    EXPECT_EQ(labelled.substr(32, 8), "VLMRDISK");
    EXPECT_EQ(labelled.substr(40, 24), std::string("DATA1") + std::string(19, '\0'));
    EXPECT_EQ(checksum_of(labelled),
              checksum_of(original) ^ fold(original.substr(40, 24)) ^ fold(labelled.substr(40, 24)));
    EXPECT_EQ(read_bytes(dev, block(), block()), original.substr(block(), block()));

    r = reader({dev});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DATA1:" + dev + "\n");

    r = writer({dev, "other"});
    EXPECT_EQ(r.status, 239);
    EXPECT_EQ(r.err, "velmortev-write-label: Device \"" + dev + "\" is already labeled \"DATA1\"\n");
    EXPECT_EQ(first_block(), labelled);

    r = writer({"-f", dev, "ABCDEFGHIJKLMNOPQRSTUVWX"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string replaced = first_block();
    expect_only_fields_changed(labelled, replaced);
    EXPECT_EQ(replaced.substr(40, 24), "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(checksum_of(replaced), checksum_of(labelled) ^ fold(labelled.substr(40, 24)) ^
                                         fold("ABCDEFGHIJKLMNOPQRSTUVWX"));
    EXPECT_EQ(reader({dev}).out, "ABCDEFGHIJKLMNOPQRSTUVWX:" + dev + "\n");

    r = writer({"-d", dev});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string cleared = first_block();
    expect_only_fields_changed(replaced, cleared);
    EXPECT_EQ(cleared.substr(12, 4), replaced.substr(12, 4));
    EXPECT_EQ(cleared.substr(32, 32), "VLMRCLRD" + std::string(24, '\0'));
    EXPECT_EQ(reader({dev}).out, "");
    EXPECT_EQ(reader({"-r", dev}).out, ":" + dev + "\n");

    r = writer({"-r", dev, "again"});
    EXPECT_EQ(r.status, 239);
    EXPECT_EQ(r.err, "velmortev-write-label: Device \"" + dev + "\" is already labeled \"\"\n");
    r = writer({"-d", dev});  // a cleared label is no label: nothing written
    EXPECT_EQ(r.status, 0);
    r = writer({dev, "again"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reader({dev}).out, "AGAIN:" + dev + "\n");
}

TEST_P(LabelOnLoop, ClearingAnUnlabelledDeviceWritesNothing) {
    run_result r = writer({"-d", loop.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_bytes(loop.path(), 0, original.size()), original);
}

TEST_P(LabelOnLoop, ZeroingBothEndsKeepsTheMiddle) {
    std::string dev = loop.path();
    off_t size = 4 << 20;
    std::string middle(1 << 20, 'm');
    write_bytes(dev, 1 << 20, middle);
    write_bytes(dev, size - 4096, std::string(4096, 't'));
    run_result r = writer({"-c", dev, "zeroed"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string head = read_bytes(dev, 0, 1 << 20);
    std::string expected_head(1 << 20, '\0');
    uint32_t sum = checksum_of(original) ^ fold(original.substr(40, 24)) ^ fold(std::string("ZEROED") + std::string(18, '\0'));
    std::memcpy(expected_head.data() + 12, &sum, 4);
    std::memcpy(expected_head.data() + 32, "VLMRDISKZEROED", 14);
    EXPECT_TRUE(head == expected_head);
    EXPECT_TRUE(read_bytes(dev, 1 << 20, 1 << 20) == middle);
    EXPECT_TRUE(read_bytes(dev, size - (1 << 20), 1 << 20) == std::string(1 << 20, '\0'));
}

TEST_P(LabelOnLoop, ZeroingWithAnEmptyLabelStillRefusesTheLabel) {
    run_result r = writer({"-c", loop.path(), ""});
    EXPECT_EQ(r.status, 234);
    EXPECT_EQ(r.err, "velmortev-write-label: Unable to label device \"" + loop.path() +
                         "\": Invalid argument\n");
    EXPECT_TRUE(read_bytes(loop.path(), 0, 1 << 20) == std::string(1 << 20, '\0'));
}

TEST_P(LabelOnLoop, ExclusiveHolderKeepsWritersOut) {
    int held = open(loop.path().c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(held, 0);
    run_result r = writer({loop.path(), "busy"});
    EXPECT_EQ(r.status, 240);
    EXPECT_EQ(r.err, "velmortev-write-label: Unable to open device \"" + loop.path() +
                         "\": Device or resource busy\n");
    EXPECT_EQ(reader({loop.path()}).status, 0);  // reading takes no hold
    close(held);
    EXPECT_EQ(read_bytes(loop.path(), 0, original.size()), original);
}

// Started with a standard descriptor closed, or with standard output on a
// full device, the programs keep the device's bytes and report lost output.
TEST_P(LabelOnLoop, ClosedAndFullStandardStreams) {
    std::string dev = loop.path();
    ASSERT_EQ(writer({dev, "data1"}).status, 0);
    std::string labelled = read_bytes(dev, 0, original.size());
    std::string refused = "velmortev-write-label: Device \"" + dev + "\" is already labeled \"DATA1\"\n";
    auto lost = [](const std::string& name, int error) {
        return name + ": Unable to write to standard output: " + strerror(error) + "\n";
    };
    struct stream_case {
        std::string name;
        std::vector<std::string> args;
        int closed_fd;
        std::string output_path;
        int status;
        std::string out, err;
    };
    const stream_case cases[] = {
        {"velmortev-write-label", {dev, "other"}, 0, "", 239, "", refused},
        {"velmortev-write-label", {dev, "other"}, 1, "", 239, "", refused},
        {"velmortev-write-label", {dev, "other"}, 2, "", 239, "", ""},
        {"velmortev-read-label", {dev}, 0, "", 0, "DATA1:" + dev + "\n", ""},
        {"velmortev-read-label", {dev}, 1, "", 247, "", lost("velmortev-read-label", EBADF)},
        {"velmortev-read-label", {dev}, -1, "/dev/full", 228, "", lost("velmortev-read-label", ENOSPC)},
    };
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.args[0] + " fd " + std::to_string(c.closed_fd) + c.output_path);
        run_spec spec;
        spec.program = sbin(c.name);
        spec.args = c.args;
        spec.closed_fd = c.closed_fd;
        spec.output_path = c.output_path;
        run_result r = run(spec);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(read_bytes(dev, 0, labelled.size()) == labelled) << "the device changed";
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, LabelOnLoop, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

// Label fields written by others: every byte that could forge a line or
// reach a terminal is shown as "\xNN", in the output line, in the refusal
// to relabel, and for a cleared block read with -r.
TEST(LabelHostileField, ShownEscapedWhereverItIsPrinted) {
    REQUIRE_LOOP_DEVICES();
    scratch_dir dir;
    loop_device loop;
    ASSERT_EQ(loop.attach(dir.file("disk.img"), 1 << 20), "");
    const std::string dev = loop.path();
    using namespace std::string_literals;
    std::string all_ff;
    for (int i = 0; i < 24; i++)
        all_ff += "\\xff";
    struct {
        std::string field, shown;
    } cases[] = {
        {"AB\nX:/dev/sda"s, "AB\\x0aX:/dev/sda"},
        {"\x1b]0;owned\a"s, "\\x1b]0;owned\\x07"},
        {"DEL\x7f"s, "DEL\\x7f"},
        {"\x9b" "31m"s, "\\x9b31m"},
        {"\xc3\xa9T\xc3\xa9"s, "\\xc3\\xa9T\\xc3\\xa9"},
        {"A\\x41"s, "A\\x5cx41"},
        {"AB\0CD"s, "AB"},
        {std::string(24, '\xff'), all_ff},  // a full field: no NUL
        {"DATA_1"s, "DATA_1"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.shown);
        std::string field = c.field + std::string(24 - c.field.size(), '\0');
        write_bytes(dev, 32, "VLMRDISK" + field);
        run_result r = reader({dev});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.shown + ":" + dev + "\n");
        r = writer({dev, "other"});
        EXPECT_EQ(r.status, 239);
        EXPECT_EQ(r.err, "velmortev-write-label: Device \"" + dev + "\" is already labeled \"" +
                             c.shown + "\"\n");
        EXPECT_EQ(read_bytes(dev, 32, 32), "VLMRDISK" + field);
        write_bytes(dev, 32, "VLMRCLRD" + field);
        EXPECT_EQ(reader({"-r", dev}).out, c.shown + ":" + dev + "\n");
    }
}

class SmallLoop : public ::testing::TestWithParam<unsigned> {};

TEST_P(SmallLoop, TooSmallForZeroingOrForOneBlock) {
    REQUIRE_LOOP_DEVICES();
    scratch_dir dir;
    loop_device small;
    ASSERT_EQ(small.attach(dir.file("small.img"), 512 << 10, GetParam()), "");
    run_result r = writer({"-c", small.path(), "small"});
    EXPECT_EQ(r.status, 228);
    EXPECT_EQ(r.err, "velmortev-write-label: Unable to clear device \"" + small.path() +
                         "\": No space left on device\n");
    EXPECT_EQ(run_program("velmortev-read-label", {small.path()}).out, "");

    loop_device empty;  // a backing file shorter than one block: no sectors at all
    ASSERT_EQ(empty.attach(dir.file("empty.img"), 100, GetParam()), "");
    r = run_program("velmortev-read-label", {empty.path()});
    EXPECT_EQ(r.status, 228);
    EXPECT_EQ(r.err, "velmortev-read-label: Unable to read device \"" + empty.path() +
                         "\": No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, SmallLoop, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
