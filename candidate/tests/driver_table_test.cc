// The driver table read from text fixtures: sections, skipped lines, the
// lookup order, and what a failed load leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "drivers.h"
#include "support.h"

using namespace vlm;
using namespace vlm::test;

// The test is linked with malloc and strdup wrapped, so that the table's own
// allocations can be made to fail: when the count reaches 0, the next one
// fails; -1 lets every allocation through.
static int allocations_before_failure = -1;

extern "C" void* __real_malloc(size_t size);
extern "C" char* __real_strdup(const char* s);

static bool allocation_fails() {
    if (allocations_before_failure < 0)
        return false;
    return allocations_before_failure-- == 0;
}

extern "C" void* __wrap_malloc(size_t size) {
    return allocation_fails() ? nullptr : __real_malloc(size);
}

extern "C" char* __wrap_strdup(const char* s) {
    return allocation_fails() ? nullptr : __real_strdup(s);
}

namespace {

class DriverTable : public ::testing::Test {
protected:
    void SetUp() override { drop_driver_table(); }
    void TearDown() override {
        allocations_before_failure = -1;
        drop_driver_table();
        driver_table_path = "/proc/devices";
    }
    // Points the table at a fixture with this content.
    void use_table(const std::string& content) {
        write_file(table_path, content);
        driver_table_path = table_path.c_str();
    }
    static std::vector<std::pair<uint32_t, std::string>> entries(const driver_entry* list) {
        std::vector<std::pair<uint32_t, std::string>> out;
        for (; list; list = list->next)
            out.emplace_back(list->major, list->name);
        return out;
    }

    scratch_dir dir;
    std::string table_path = dir.file("devices");
};

using entry_list = std::vector<std::pair<uint32_t, std::string>>;

const char kernel_like_table[] =
    "  7 before-any-header\n"
    "Character devices:\n"
    "  1 mem\n"
    "  4 /dev/vc/0\n"
    "  4 tty\n"
    " 10 misc\n"
    "\n"
    "Block devices:\n"
    "  7 loop\n"
    "254 mdp\n"
    "  8\n"
    "garbage 9 sd\n"
    "\t 11\tsr\textra\n"
    "\n"
    "254 device-mapper\n"
    "259 blkext\n";

TEST_F(DriverTable, SectionsAreReadInReverseFileOrderAndTheLastDuplicateWins) {
    use_table(kernel_like_table);
    ASSERT_EQ(load_driver_table(), 0);
    EXPECT_TRUE(driver_table_loaded);
    EXPECT_EQ(entries(block_drivers),
              (entry_list{{259, "blkext"}, {254, "device-mapper"}, {11, "sr"}, {254, "mdp"},
                          {7, "loop"}}));
    EXPECT_EQ(entries(char_drivers),
              (entry_list{{10, "misc"}, {4, "tty"}, {4, "/dev/vc/0"}, {1, "mem"}}));

    EXPECT_STREQ(block_driver_name(254), "device-mapper");
    EXPECT_STREQ(char_driver_name(4), "tty");
    EXPECT_STREQ(block_driver_name(11), "sr");
    // Numbers without a name, garbage, and lines before any header are not
    // entries; a number of one section is not found in the other.
    EXPECT_EQ(block_driver_name(8), nullptr);
    EXPECT_EQ(block_driver_name(9), nullptr);
    EXPECT_EQ(block_driver_name(1), nullptr);
    EXPECT_EQ(char_driver_name(7), nullptr);
}

TEST_F(DriverTable, HeadersArePrefixes) {
    use_table(
        "Block devices: and then some\n"
        "  7 loop\n"
        "Character devices\n"  // no colon: not a header, and not an entry
        "  1 mem\n"
        "Character devices:x\n"
        " 10 misc\n"
        "block devices:\n"  // case matters
        " 13 input\n");
    EXPECT_STREQ(block_driver_name(7), "loop");
    EXPECT_EQ(entries(block_drivers), (entry_list{{1, "mem"}, {7, "loop"}}));
    EXPECT_EQ(entries(char_drivers), (entry_list{{13, "input"}, {10, "misc"}}));
}

TEST_F(DriverTable, LongNamesAndLongLines) {
    std::string long_name(120, 'n');
    // A line longer than 4096 characters is read in pieces of 4096: the
    // second piece here starts exactly at "12".
    std::string long_line = "9 a" + std::string(4096 - 4, ' ') + "5" + "12 piece\n";
    ASSERT_EQ(long_line.find("12 piece"), 4096u);
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
    // Once loaded, the table is not read again.
    use_table("Block devices:\n  7 other\n");
    EXPECT_STREQ(block_driver_name(7), "loop");
}

TEST_F(DriverTable, RunningOutOfMemoryLeavesNothingAndIsTriedAgain) {
    use_table("Character devices:\n  1 mem\n\nBlock devices:\n  7 loop\n  8 sd\n");
    // Two line buffers, then an entry and its name for each of three lines.
    const int allocations = 2 + 2 * 3;
    for (int failing = 0; failing < allocations; failing++) {
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
    // A character device is not a block device of any driver, and the table
    // is not even read to say so.
    EXPECT_FALSE(is_block_driver(null_fd, "ramdisk"));
    EXPECT_FALSE(driver_table_loaded);
    EXPECT_TRUE(is_char_driver(null_fd, "mem"));
    for (const char* near_miss : {"me", "memx", "MEM", ""})
        EXPECT_FALSE(is_char_driver(null_fd, near_miss)) << near_miss;
    close(null_fd);
    EXPECT_FALSE(is_char_driver(-1, "mem"));
}

TEST_F(DriverTable, LoopDevicesBelongToTheLoopDriver) {
    REQUIRE_LOOP_DEVICES();
    loop_device loop;
    ASSERT_EQ(loop.attach(dir.file("backing"), 1 << 20), "");
    use_table("Block devices:\n" + std::to_string(major(loop.rdev())) + " loop\n");
    int fd = open(loop.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(is_block_driver(fd, "loop"));
    EXPECT_FALSE(is_block_driver(fd, "loo"));
    EXPECT_FALSE(is_char_driver(fd, "loop"));
    close(fd);
}

}  // namespace
