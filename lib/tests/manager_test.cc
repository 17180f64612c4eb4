// SPDX-License-Identifier: GPL-2.0-or-later
// The manager check called directly, for what the programs cannot reach.
#include <gtest/gtest.h>

#include <cerrno>

#include "lib/manager.h"

using namespace vlm;

namespace {

// An absent or empty manager path never reaches statfs.
TEST(ManagerCheck, ManagerPathMustBeGiven) {
    EXPECT_EQ(check_manager(nullptr), -EINVAL);
    EXPECT_EQ(check_manager(""), -EINVAL);
}

}  // namespace
