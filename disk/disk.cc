// SPDX-License-Identifier: GPL-2.0-or-later
#include "disk/disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

disk_result failure(int status, disk_step step, int error) {
    return disk_result{status, step, error, 0};
}

// Makes the node and checks that the driver lets it open read-write. A node
// that does not open is taken away again, so that a failure leaves nothing.
disk_result make_node(const char* manager, const char* label, const char* path, dev_t rdev) {
    // An existing node, whatever it is, stays as it was.
    if (mknod(path, S_IFBLK | node_permissions, rdev) < 0)
        return failure(-1, disk_step::create_node, errno);
    unique_fd node(open_block_device(path));
    if (!node) {
        disk_result result = failure(node.get(), disk_step::open_node, -node.get());
        disk_result removal = clean_disk(manager, label);
        if (removal.failed == disk_step::remove_node)
            result.removal_error = removal.error;
        return result;
    }
    return {};
}

}  // namespace

int open_block_device(const char* path) {
    return open_checked_block(path, O_RDWR);
}

disk_result instantiate_disk(const char* manager, const char* device, const char* label) {
    malloc_ptr<char> path = node_path(manager, label);
    if (!path)
        return failure(-ENOMEM, disk_step::none, ENOMEM);
    unique_fd target(open_block_device(device));
    if (!target)
        return failure(target.get(), disk_step::open_device, -target.get());
    struct stat st;
    if (fstat(target.get(), &st) < 0)
        return failure(-1, disk_step::query_device, errno);
    return make_node(manager, label, path.get(), st.st_rdev);
}

disk_result clean_disk(const char* manager, const char* label) {
    malloc_ptr<char> path = node_path(manager, label);
    if (!path)
        return failure(-ENOMEM, disk_step::none, ENOMEM);
    if (unlink(path.get()) < 0)
        return failure(-1, disk_step::remove_node, errno);
    return {};
}

}  // namespace vlm
