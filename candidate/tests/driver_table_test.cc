// SPDX-License-Identifier: GPL-2.0-or-later
// The driver table read from text fixtures: sections, skipped lines, the
// lookup order, and what a failed load leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "candidate/drivers.h"
#include "support.h"

using namespace vlm;
using namespace vlm::test;

// The test is linked with malloc and strdup wrapped, so that the table's own
// allocations can be made to fail: when the count reaches 0, that allocation
// fails; -1 lets every allocation through.
static int allocations_before_failure = -1;

extern "C" void* __real_malloc(size_t size);
extern "C" char* __real_strdup(const char* s);

static bool allocation_fails() {
    return allocations_before_failure >= 0 && allocations_before_failure-- == 0;
}
extern "C" void* __wrap_malloc(size_t size) {
    return allocation_fails() ? nullptr : __real_malloc(size);
}
extern "C" char* __wrap_strdup(const char* s) {
    return allocation_fails() ? nullptr : __real_strdup(s);
}

namespace {

using entry_list = std::vector<std::pair<uint32_t, std::string>>;

entry_list entries(const driver_entry* list) {
    entry_list out;
    for (; list; list = list->next)
        out.emplace_back(list->major, list->name);
    return out;
}

class DriverTable : public ::testing::Test {
protected:
    void SetUp() override { drop_driver_table(); }
    void TearDown() override {
        allocations_before_failure = -1;
        drop_driver_table();
        driver_table_path = "/proc/devices";
    }
    void use_table(const std::string& content) {
        write_file(table_path, content);
        driver_table_path = table_path.c_str();
    }

    scratch_dir dir;
    std::string table_path = dir.file("devices");
};

TEST_F(DriverTable, SectionsHeadersAndSkippedLines) {
    use_table(
        "  7 before-any-header\n"
        "Character devices:\n"
        "  1 mem\n"
        "  4 /dev/vc/0\n"
        "  4 tty\n"
        "Block devices\n"  // no colon: neither a header nor an entry
        " 10 misc\n"
        "\n"
        "Block devices: and more\n"  // a header is a prefix
        "  7 loop\n"
        "254 mdp\n"
        "  8\n"
        "garbage 9 sd\n"
        "\t 11\tsr\textra\n"
        "\n"
        "254 device-mapper\n");
    ASSERT_EQ(load_driver_table(), 0);
    EXPECT_TRUE(driver_table_loaded);
    // Each section in reverse file order, so the last line for 254 wins.
    EXPECT_EQ(entries(block_drivers),
              (entry_list{{254, "device-mapper"}, {11, "sr"}, {254, "mdp"}, {7, "loop"}}));
    EXPECT_EQ(entries(char_drivers),
              (entry_list{{10, "misc"}, {4, "tty"}, {4, "/dev/vc/0"}, {1, "mem"}}));
    EXPECT_STREQ(block_driver_name(254), "device-mapper");
    EXPECT_STREQ(char_driver_name(4), "tty");
    EXPECT_EQ(block_driver_name(1), nullptr);  // only a character major
    EXPECT_EQ(char_driver_name(7), nullptr);
}

TEST_F(DriverTable, LongNamesAndLongLines) {
    std::string long_name(120, 'n');
    // A line longer than 4096 characters is read in pieces of 4096, each a
    // line of its own: the second piece here starts exactly at "12".
    std::string long_line = "9 a" + std::string(4096 - 4, ' ') + "5" + "12 piece\n";
    use_table("Block devices:\n  7 " + long_name + "\n" + long_line);
    EXPECT_EQ(block_driver_name(7), long_name.substr(0, 99));
    EXPECT_STREQ(block_driver_name(9), "a");
    EXPECT_STREQ(block_driver_name(12), "piece");
    EXPECT_EQ(block_driver_name(512), nullptr);
}

TEST_F(DriverTable, AFailedOpenIsTriedAgainByTheNextLookup) {
    driver_table_path = table_path.c_str();
    EXPECT_EQ(load_driver_table(), -ENOENT);
    EXPECT_EQ(block_driver_name(7), nullptr);
    EXPECT_FALSE(driver_table_loaded);

    use_table("Block devices:\n  7 loop\n");
    EXPECT_STREQ(block_driver_name(7), "loop");
    use_table("Block devices:\n  7 other\n");  // once loaded, never read again
    EXPECT_STREQ(block_driver_name(7), "loop");
}

TEST_F(DriverTable, RunningOutOfMemoryLeavesNothingAndIsTriedAgain) {
    use_table("Character devices:\n  1 mem\n\nBlock devices:\n  7 loop\n  8 sd\n");
    // Two line buffers, then an entry and its name for each of three lines.
    for (int failing = 0; failing < 2 + 2 * 3; failing++) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " fails");
        allocations_before_failure = failing;
        EXPECT_EQ(load_driver_table(), -ENOMEM);
        allocations_before_failure = -1;
        EXPECT_FALSE(driver_table_loaded);
        EXPECT_EQ(block_drivers, nullptr);
        EXPECT_EQ(char_drivers, nullptr);
        EXPECT_STREQ(block_driver_name(8), "sd");
        EXPECT_STREQ(char_driver_name(1), "mem");
        drop_driver_table();
    }
}

TEST_F(DriverTable, DescriptorsAreMatchedByTypeAndExactName) {
    use_table("Character devices:\n  1 mem\n\nBlock devices:\n  1 ramdisk\n");
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    // A character device belongs to no block driver; the table is not even
    // read to say so.
    EXPECT_FALSE(is_block_driver(null_fd, "ramdisk"));
    EXPECT_FALSE(driver_table_loaded);
    EXPECT_TRUE(is_char_driver(null_fd, "mem"));
    for (const char* near_miss : {"me", "memx", "MEM", ""})
        EXPECT_FALSE(is_char_driver(null_fd, near_miss)) << near_miss;
    close(null_fd);
    EXPECT_FALSE(is_char_driver(-1, "mem"));
}

}  // namespace
