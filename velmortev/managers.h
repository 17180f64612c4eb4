// SPDX-License-Identifier: GPL-2.0-or-later
// Which manager filesystems a run works on: the paths given with -m, else
// the configured ones, else every mounted manager.
#pragma once

#include <string>
#include <vector>

namespace vlm {

// The mount points of the mount table (in the format of
// /proc/self/mountinfo) that pass the manager check, in table order.
int mounted_managers(const char* mountinfo, std::vector<std::string>& out);

// Chooses the managers: the given paths when there are any, else the
// configured ones, else the mounted ones. A given or configured path that
// fails the manager check, or no mounted manager at all, is an error whose
// text PROBLEM gets; the result is then the check's error or -ENOENT.
int choose_managers(const std::vector<std::string>& given,
                    const std::vector<std::string>& configured, const char* mountinfo,
                    std::vector<std::string>& out, std::string& problem);

// A mount point as mountinfo writes it, with its octal escapes undone.
std::string unescape_mount_point(const std::string& field);

}  // namespace vlm
