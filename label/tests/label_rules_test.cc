// SPDX-License-Identifier: GPL-2.0-or-later
// The label-name rules and the checksum folding, as functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/frame.h"
#include "label/label.h"

using namespace vlm;

namespace {

struct rule_case {
    std::string operand;
    std::string message;  // empty: accepted
};

class LabelRules : public ::testing::Test {
protected:
    void SetUp() override {
        progname = "velmortev-write-label";
        usage_text = "USAGE\n";
    }
};

TEST_F(LabelRules, FoldsLowerCaseInPlace) {
    char text[] = "data_1";
    validate_label(text);
    EXPECT_STREQ(text, "DATA_1");
    char empty[] = "";
    validate_label(empty);
    EXPECT_STREQ(empty, "");
    char full[] = "abcdefghijklmnopqrstuvwx";
    validate_label(full);
    EXPECT_STREQ(full, "ABCDEFGHIJKLMNOPQRSTUVWX");
}

TEST_F(LabelRules, RefusalsNameTheByteAndShowUsage) {
    const rule_case cases[] = {
        {"1abc", "Invalid characters in label: '1'\n"},
        {"_A", "Invalid characters in label: '_'\n"},
        {"a-b", "Invalid characters in label: '-'\n"},
        {"abcdefghijklmnopqrstuvwxy", "Label size exceeds '24' characters\n"},
        {"abcdefghijklmnopqrstuvwxyz-abc", "Invalid characters in label: '-'\n"},
        {"A\xC3\xA9", "Invalid characters in label: '\xC3'\n"},
        {"A B", "Invalid characters in label: ' '\n"},
        {"A/B", "Invalid characters in label: '/'\n"},
    };
    for (const rule_case& c : cases) {
        std::string expected = "velmortev-write-label: " + c.message + "USAGE\n";
        EXPECT_EXIT(
            {
                std::string copy = c.operand;
                validate_label(copy.data());
            },
            ::testing::ExitedWithCode(234), ::testing::HasSubstr(expected))
            << c.operand;
    }
}

TEST(LabelFold, XorsSixLittleEndianWords) {
    char label[24] = {};
    EXPECT_EQ(fold_label(label), 0u);
    std::memcpy(label, "AB", 2);
    EXPECT_EQ(fold_label(label), 0x4241u);
    std::memcpy(label, "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    uint32_t expected = 0;
    for (int w = 0; w < 6; w++)
        for (int k = 0; k < 4; k++)
            expected ^= uint32_t(label[w * 4 + k]) << (8 * k);
    EXPECT_EQ(fold_label(label), expected);
}

TEST(LabelFields, SetKeepsChecksumInStepAndClearKeepsIt) {
    label_info info = {};
    info.checksum = 0xdeadbeef;
    set_label_fields(&info, "AB");
    EXPECT_EQ(std::memcmp(info.magic, "VLMRDISK", 8), 0);
    EXPECT_EQ(info.checksum, 0xdeadbeefu ^ 0x4241u);
    set_label_fields(&info, "AB");
    EXPECT_EQ(info.checksum, 0xdeadbeefu ^ 0x4241u);
    set_label_fields(&info, "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(std::memcmp(info.label, "ABCDEFGHIJKLMNOPQRSTUVWX", 24), 0);
    EXPECT_EQ(info.checksum, 0xdeadbeefu ^ fold_label(info.label));
    uint32_t before = info.checksum;
    clear_label_fields(&info);
    EXPECT_EQ(std::memcmp(info.magic, "VLMRCLRD", 8), 0);
    EXPECT_EQ(info.checksum, before);
    EXPECT_EQ(fold_label(info.label), 0u);
}

TEST(LabelMagic, ClearedCountsOnlyWhenAccepted) {
    label_info info = {};
    std::memcpy(info.magic, "VLMRCLRD", 8);
    EXPECT_EQ(check_label_magic(&info, false), -ENXIO);
    EXPECT_EQ(check_label_magic(&info, true), 0);
    std::memcpy(info.magic, "VLMRDISX", 8);
    EXPECT_EQ(check_label_magic(&info, true), -ENXIO);
    EXPECT_EQ(check_label_magic(nullptr, false), -EINVAL);
    EXPECT_EQ(read_label_block(-1, &info), -EINVAL);
    EXPECT_EQ(write_label_block(3, nullptr), -EINVAL);
}

TEST(LabelCopy, KeepsAllTwentyFourBytes) {
    label_info info = {};
    std::memcpy(info.label, "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    malloc_ptr<char> text = copy_label(&info);
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), "ABCDEFGHIJKLMNOPQRSTUVWX");
}

}  // namespace
