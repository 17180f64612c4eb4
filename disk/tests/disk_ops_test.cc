// SPDX-License-Identifier: GPL-2.0-or-later
// The node operations called directly, for what the program cannot reach.
#include <gtest/gtest.h>

#include <cerrno>

#include "disk/disk.h"

using namespace vlm;

namespace {

// An absent or empty manager path never reaches statfs.
TEST(DiskOperations, ManagerPathMustBeGiven) {
    EXPECT_EQ(check_manager(nullptr), -EINVAL);
    EXPECT_EQ(check_manager(""), -EINVAL);
}

}  // namespace
