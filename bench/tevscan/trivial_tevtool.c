// SPDX-License-Identifier: GPL-2.0-or-later
/* The driver tool at its cheapest: it counts its run and answers a disk
   query as valid and a device query as not marked, so that tevscan keeps
   every node and creates none. Linked statically: starting it costs no
   loader work, and a preload meant for tevscan does not reach it. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static void say(int fd, const char* text, size_t length) {
    ssize_t n = write(fd, text, length);
    (void)n;
}

int main(int argc, char** argv) {
    (void)argv;
    const char* counter = getenv("TEVBENCH_COUNTER");
    if (counter) {
        int fd = open(counter, O_WRONLY | O_APPEND);
        if (fd >= 0) {
            say(fd, "x", 1);
            close(fd);
        }
    }
    if (argc == 6) {
        say(1, "Disk is a valid TEV disk\n", 25);
        return 0;
    }
    say(2, "Device is not marked\n", 21);
    return 6;
}
