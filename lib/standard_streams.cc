// SPDX-License-Identifier: GPL-2.0-or-later
#include "lib/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vlm {

namespace {

// The error of the first failed flush_stdout. stdio drops the buffered data
// of a failed write, so a later flush may succeed with nothing to write and
// only the stream's error flag tells of the loss.
int kept_stdout_error = 0;

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) >= 0 || errno != EBADF; }

// The error of a write that failed earlier without its number being kept:
// an empty write gives it for a descriptor that cannot be written at all or
// a device that is always full; for anything else the loss is an I/O error.
int lost_write_error(int fd) {
    if (fd >= 0 && write(fd, "", 0) < 0)
        return errno;
    return EIO;
}

const char* final_component(const char* path) {
    if (!path)
        return "";
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

int open_missing_standard_fds() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fd_is_open(fd))
            continue;
        // The lowest free number is fd itself: those below it are open now.
        int opened = open("/dev/null", O_RDONLY);
        if (opened < 0)
            return -errno;
        if (opened != fd) {
            close(opened);
            return -EBADF;
        }
    }
    return 0;
}

void flush_stdout() {
    if (std::fflush(stdout) != 0 && kept_stdout_error == 0)
        kept_stdout_error = errno;
}

int finish_stdout(int status, const char* name) {
    bool failed_before = std::ferror(stdout);
    int fd = fileno(stdout);
    int err = 0;
    if (std::fflush(stdout) != 0)
        err = errno;
    if (err == 0 && failed_before)
        err = kept_stdout_error ? kept_stdout_error : lost_write_error(fd);
    // Closing a duplicate leaves the stream usable and still makes a file
    // system that defers its errors to the close report them.
    if (err == 0 && fd >= 0) {
        int copy = dup(fd);
        if (copy >= 0 && close(copy) != 0)
            err = errno;
    }
    if (err == 0)
        return status;
    std::fprintf(stderr, "%s: Unable to write to standard output: %s\n", name, std::strerror(err));
    return status != 0 ? status : -err;
}

int run_program(int (*command)(int argc, char** argv), int argc, char** argv,
                const char* fixed_name) {
    // Taken before the command runs, which may cut argv[0] at its last '/':
    // the text after the slash stays as it was.
    const char* name = fixed_name ? fixed_name : final_component(argv[0]);
    int rc = open_missing_standard_fds();
    if (rc < 0)
        return rc;
    rc = command(argc, argv);
    return finish_stdout(rc, name);
}

}  // namespace vlm
