// The node operations called directly, for what the program cannot reach.
#include <gtest/gtest.h>

#include <cerrno>

#include "disk.h"
#include "support.h"

using namespace vlm;

namespace {

TEST(DiskOperations, ManagerAndDeviceChecks) {
    EXPECT_EQ(check_manager(nullptr), -EINVAL);
    EXPECT_EQ(check_manager(""), -EINVAL);
    test::scratch_dir dir;
    EXPECT_EQ(check_manager(dir.path().c_str()), -ENXIO);
    EXPECT_EQ(check_manager(dir.file("missing").c_str()), -ENOENT);

    std::string file = dir.file("plain");
    test::write_file(file, "x");
    EXPECT_EQ(open_block_device(file.c_str()), -ENOTBLK);
    EXPECT_EQ(open_block_device(dir.path().c_str()), -ENOTBLK);
    EXPECT_EQ(open_block_device(dir.file("missing").c_str()), -ENOENT);
}

}  // namespace
