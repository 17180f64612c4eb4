// SPDX-License-Identifier: GPL-2.0-or-later
#include "disk/disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "lib/blockdev.h"
#include "lib/owners.h"

namespace vlm {

namespace {

// Permission bits of a fresh node; the block type bit is added at mknod.
constexpr mode_t node_permissions = 0600;

// "<manager>/disks/<label>" in a buffer of its own, or empty when memory runs
// out. The manager path is taken as given, so a trailing slash yields "//",
// which the kernel accepts.
malloc_ptr<char> node_path(const char* manager, const char* label) {
    size_t size = std::strlen(manager) + std::strlen(label) + 8;
    malloc_ptr<char> path(static_cast<char*>(std::malloc(size)));
    if (path)
        std::snprintf(path.get(), size, "%s/%s/%s", manager, "disks", label);
    return path;
}

// Makes the node and checks that the driver lets it open read-write. A node
// that does not open is taken away again, so that a failure leaves nothing.
int make_node(const char* manager, const char* label, const char* path, dev_t rdev) {
    if (mknod(path, S_IFBLK | node_permissions, rdev) < 0) {
        // An existing node, whatever it is, stays as it was.
        error("Unable to create TEV disk \"%s\": %s\n", label, strerror(errno));
        return -1;
    }
    unique_fd node(open_block_device(path));
    if (!node) {
        error("Unable to open TEV disk \"%s\": %s\n", label, strerror(-node.get()));
        clean_disk(manager, label);
        return node.get();
    }
    return 0;
}

}  // namespace

int open_block_device(const char* path) {
    return open_checked_block(path, O_RDWR);
}

int instantiate_disk(const char* manager, const char* device, const char* label) {
    malloc_ptr<char> path = node_path(manager, label);
    if (!path)
        return -ENOMEM;
    unique_fd target(open_block_device(device));
    if (!target) {
        error("Unable to open device \"%s\": %s\n", device, strerror(-target.get()));
        return target.get();
    }
    struct stat st;
    if (fstat(target.get(), &st) < 0) {
        error("Unable to query device \"%s\": %s\n", device, strerror(errno));
        return -1;
    }
    return make_node(manager, label, path.get(), st.st_rdev);
}

int clean_disk(const char* manager, const char* label) {
    malloc_ptr<char> path = node_path(manager, label);
    if (!path)
        return -ENOMEM;
    int rc = unlink(path.get());
    if (rc < 0)
        error("Unable to remove TEV disk \"%s\": %s\n", label, strerror(errno));
    return rc;
}

}  // namespace vlm
