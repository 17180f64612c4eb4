// SPDX-License-Identifier: GPL-2.0-or-later
/* The floor under tevscan's design: starts tevtool once per disk node and
   once per device, with the argument vectors tevscan uses, one after the
   other, and does nothing else. The tool's output goes to /dev/null.
     tevscan_bench_driver MANAGER COUNT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static int run(char** argv, int sink) {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(sink, 1);
        dup2(sink, 2);
        execvp("tevtool", argv);
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    char* manager = argv[1];
    int count = atoi(argv[2]);
    int sink = open("/dev/null", O_WRONLY);
    char name[64];
    char* disk_query[] = {"tevtool", "-I", "-l", manager, "-n", name, NULL};
    char* device_query[] = {"tevtool", "-I", "-l", manager, "-n", name, "-a", "label", NULL};
    for (int i = 0; i < count; i++) {
        snprintf(name, sizeof name, "D%04d", i);
        run(disk_query, sink);
    }
    for (int i = 0; i < count; i++) {
        snprintf(name, sizeof name, "/dev/vtbench%04d", i);
        run(device_query, sink);
    }
    return 0;
}
