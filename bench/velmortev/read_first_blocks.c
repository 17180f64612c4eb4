// SPDX-License-Identifier: GPL-2.0-or-later
/* The floor under a listing of labelled devices: for each device named, open
   it for direct reading, ask for its logical block size and read its first
   block, with nothing around it. Ends with 1 at the first device it cannot
   read, so that a broken setup never passes for a fast floor.
     velmortev_read_first_blocks DEVICE... */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { largest_block = 4096 };

int main(int argc, char** argv) {
    void* block;
    if (posix_memalign(&block, largest_block, largest_block) != 0)
        return 1;
    for (int i = 1; i < argc; i++) {
        int fd = open(argv[i], O_RDONLY | O_DIRECT | O_CLOEXEC);
        int size = 0;
        if (fd < 0 || ioctl(fd, BLKSSZGET, &size) < 0 || size <= 0 || size > largest_block ||
            pread(fd, block, (size_t)size, 0) != size) {
            perror(argv[i]);
            return 1;
        }
        close(fd);
    }
    printf("%d devices read\n", argc - 1);
    return 0;
}
