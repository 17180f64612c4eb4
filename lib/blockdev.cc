#include "blockdev.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include "owners.h"

namespace vlm {

int open_checked_block(const char* path, int flags) {
    struct stat st;
    if (stat(path, &st) < 0)
        return -errno;
    if (!S_ISBLK(st.st_mode))
        return -ENOTBLK;
    unique_fd fd(open(path, flags));
    if (!fd)
        return -errno;
    if (fstat(fd.get(), &st) < 0)
        return -errno;
    if (!S_ISBLK(st.st_mode))
        return -ENOTBLK;
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

}  // namespace vlm
