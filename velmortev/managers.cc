// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/managers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/manager.h"
#include "lib/owners.h"

namespace vlm {

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The fifth field of a mountinfo line: the mount point.
std::string mount_point_field(const char* line) {
    const char* p = line;
    for (int field = 0; field < 4; field++) {
        p = std::strchr(p, ' ');
        if (!p)
            return {};
        p++;
    }
    const char* end = std::strchr(p, ' ');
    return end ? std::string(p, static_cast<size_t>(end - p)) : std::string();
}

}  // namespace

std::string unescape_mount_point(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) &&
            is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

int mounted_managers(const char* mountinfo, std::vector<std::string>& out) {
    unique_file table(std::fopen(mountinfo, "re"));
    if (!table)
        return -errno;
    char* line = nullptr;
    size_t room = 0;
    int rc = 0;
    for (;;) {
        errno = 0;
        if (getline(&line, &room, table.get()) <= 0) {
            // A line that could not be held is no end of the table.
            rc = errno == ENOMEM ? -ENOMEM : 0;
            break;
        }
        std::string point = unescape_mount_point(mount_point_field(line));
        if (!point.empty() && check_manager(point.c_str()) == 0)
            out.push_back(point);
    }
    std::free(line);
    return rc;
}

int choose_managers(const std::vector<std::string>& given,
                    const std::vector<std::string>& configured, const char* mountinfo,
                    std::vector<std::string>& out, std::string& problem) {
    const std::vector<std::string>& named = given.empty() ? configured : given;
    for (const std::string& path : named) {
        int rc = check_manager(path.c_str());
        if (rc < 0) {
            problem = "manager \"" + path + "\": " + std::strerror(-rc);
            return rc;
        }
        out.push_back(path);
    }
    if (!named.empty())
        return 0;
    int rc = mounted_managers(mountinfo, out);
    if (rc == 0 && out.empty())
        rc = -ENOENT;
    if (rc == -ENOMEM)
        problem = std::string("Unable to read ") + mountinfo + ": " + std::strerror(ENOMEM);
    else if (rc < 0)
        problem = std::string("no mounted manager was found in ") + mountinfo;
    return rc;
}

}  // namespace vlm
