// SPDX-License-Identifier: GPL-2.0-or-later
/* The floor under velmortev-read-label: the same system calls with nothing
   around them. It checks that the path is a block device, opens it for
   direct reading, asks for its logical block size, reads the first block
   and prints one line of the reader's length, then ends.
     label_read_block DEVICE */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    struct stat st;
    if (argc != 2 || stat(argv[1], &st) < 0 || !S_ISBLK(st.st_mode))
        return 2;
    int fd = open(argv[1], O_RDONLY | O_DIRECT);
    int size = 0;
    if (fd < 0 || fstat(fd, &st) < 0 || ioctl(fd, BLKSSZGET, &size) < 0 || size <= 0)
        return 1;
    void* block;
    if (posix_memalign(&block, (size_t)size, (size_t)size) != 0 ||
        pread(fd, block, (size_t)size, 0) != size)
        return 1;
    close(fd);
    printf("BENCH:%s\n", argv[1]);
    return 0;
}
