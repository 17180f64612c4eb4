// SPDX-License-Identifier: GPL-2.0-or-later
#include "lib/blockdev.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include "lib/owners.h"

namespace vlm {

static int failed_at(open_step step, int status, open_step* failed) {
    if (failed)
        *failed = step;
    return status;
}

int open_checked_block(const char* path, int flags, open_step* failed) {
    struct stat st;
    if (stat(path, &st) < 0)
        return failed_at(open_step::stat_path, -errno, failed);
    if (!S_ISBLK(st.st_mode))
        return failed_at(open_step::path_type, -ENOTBLK, failed);
    unique_fd fd(open(path, flags));
    if (!fd)
        return failed_at(open_step::open_path, -errno, failed);
    if (fstat(fd.get(), &st) < 0)
        return failed_at(open_step::stat_opened, -errno, failed);
    if (!S_ISBLK(st.st_mode))
        return failed_at(open_step::opened_type, -ENOTBLK, failed);
    return fd.release();
}

bool is_partition(int fd) {
    struct hd_geometry geo = {};
    return ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.start != 0;
}

int logical_block_size(int fd) {
    int size = 0;
    if (ioctl(fd, BLKSSZGET, &size) < 0 || size <= 0)
        return 512;
    return size;
}

// The descriptors never outlive the call; close-on-exec still keeps them
// from any child a caller might start meanwhile in another thread.
static unique_fd open_for_reread(const char* path) {
    return unique_fd(open_checked_block(path, O_RDONLY | O_CLOEXEC));
}

void reread_if_whole_disk(const char* path) {
    {
        unique_fd probe = open_for_reread(path);
        if (probe && is_partition(probe.get()))
            return;
    }
    unique_fd fd = open_for_reread(path);
    if (fd)
        ioctl(fd.get(), BLKRRPART, 0);
}

}  // namespace vlm
