// SPDX-License-Identifier: GPL-2.0-or-later
#include "lib/manager.h"

#include <sys/statfs.h>

#include <cerrno>
#include <type_traits>

namespace vlm {

int check_manager(const char* manager) {
    if (!manager || manager[0] == '\0')
        return -EINVAL;
    struct statfs fs;
    if (statfs(manager, &fs) < 0)
        return -errno;
    // f_type is a signed word. Where it is 32 bits wide the manager's type has
    // its sign bit set, so it goes through the unsigned type of its own width
    // and widens as a positive number, never sign-extended.
    using word = std::make_unsigned_t<decltype(fs.f_type)>;
    uint64_t type = static_cast<word>(fs.f_type);
    return type == manager_fs_type ? 0 : -ENXIO;
}

}  // namespace vlm
