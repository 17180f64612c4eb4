// SPDX-License-Identifier: GPL-2.0-or-later
// The manager filesystem check shared by the disk node program and tevscan.
#pragma once

#include <cstdint>

namespace vlm {

// The filesystem type word statfs reports for the manager filesystem.
inline constexpr uint64_t manager_fs_type = 0x958459f6;

// 0 when the path lies on a mounted manager filesystem; -EINVAL for an absent
// or empty path, the negated errno of statfs, or -ENXIO for any other
// filesystem.
int check_manager(const char* manager);

}  // namespace vlm
