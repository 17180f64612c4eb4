// SPDX-License-Identifier: GPL-2.0-or-later
// The testbed layer's faults of the device I/O (see layer.h):
//
//   VLM_TESTBED_FAULT_PREAD, _PWRITE, _WRITE, _FSYNC=STEP[,STEP...]
//       steer the calls of that function on descriptors of block devices
//       (the standard streams, pipes and files are never touched). The steps
//       are taken in order, one call at a time:
//         pass:N    N calls go through unchanged
//         eintr:N   N calls fail with EINTR
//         eagain:N  N calls fail with EAGAIN
//         short:B   every later call moves at most B bytes (on an O_DIRECT
//                   descriptor through an aligned bounce buffer, so a short
//                   write really leaves a part of the block written)
//         zero      every later call moves nothing and returns 0
//         eio       every later call fails with EIO
//         slow:MS   every later call waits MS milliseconds, then goes through
//       When the counted steps are used up the calls go through again; short,
//       zero, eio and slow hold to the end. fsync knows pass, eintr, eagain,
//       eio and slow.
//   VLM_TESTBED_SWAP_AT_OPEN=PATH=FILE
//       the first open of PATH (the text as the program passes it) renames
//       FILE onto PATH just before it goes on, as if the path were swapped
//       between the program's look at it and its open.

#include <fcntl.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "layer.h"

using namespace vlm::testbed;

namespace {

enum class fault_kind { pass, eintr, eagain, short_transfer, zero, eio, slow };

struct fault_step {
    fault_kind kind;
    long arg;
};

bool counted(fault_kind kind) {
    return kind == fault_kind::pass || kind == fault_kind::eintr || kind == fault_kind::eagain;
}

struct fault_plan {
    const char* variable;
    bool parsed = false;
    fault_step steps[16] = {};
    int count = 0;
    int current = 0;  // the step in use
    long used = 0;    // calls the current counted step has taken
};

fault_plan pread_plan{"VLM_TESTBED_FAULT_PREAD"};
fault_plan pwrite_plan{"VLM_TESTBED_FAULT_PWRITE"};
fault_plan write_plan{"VLM_TESTBED_FAULT_WRITE"};
fault_plan fsync_plan{"VLM_TESTBED_FAULT_FSYNC"};

long number_of(std::string_view text) {
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Reads the plan from its variable; steps it does not know are left out.
void parse_plan(fault_plan& plan) {
    plan.parsed = true;
    for_each_item(getenv(plan.variable), ',', [&](std::string_view item) {
        size_t colon = item.find(':');
        std::string_view name = item.substr(0, colon);
        long arg = colon == std::string_view::npos ? 0 : number_of(item.substr(colon + 1));
        static constexpr std::pair<std::string_view, fault_kind> names[] = {
            {"pass", fault_kind::pass},   {"eintr", fault_kind::eintr},
            {"eagain", fault_kind::eagain}, {"short", fault_kind::short_transfer},
            {"zero", fault_kind::zero},   {"eio", fault_kind::eio},
            {"slow", fault_kind::slow}};
        for (auto& [word, kind] : names)
            if (name == word && plan.count < int(std::size(plan.steps)))
                plan.steps[plan.count++] = {kind, arg};
        return false;
    });
}

// The step that governs this call, or nullptr when it goes through.
const fault_step* next_step(fault_plan& plan) {
    while (plan.current < plan.count) {
        const fault_step& step = plan.steps[plan.current];
        if (!counted(step.kind))
            return &step;
        if (plan.used < step.arg) {
            plan.used++;
            return &step;
        }
        plan.current++;
        plan.used = 0;
    }
    return nullptr;
}

bool is_block_device(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
}

void sleep_ms(long ms) {
    timespec left = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// Runs one call under its plan: through() makes the real call, part(n) moves
// at most n bytes of it.
template <typename Through, typename Part>
ssize_t steer(fault_plan& plan, int fd, size_t count, Through through, Part part) {
    if (!plan.parsed)
        parse_plan(plan);
    if (plan.count == 0 || !is_block_device(fd))
        return through();
    const fault_step* step = next_step(plan);
    if (!step)
        return through();
    switch (step->kind) {
    case fault_kind::pass:
        break;
    case fault_kind::eintr:
        errno = EINTR;
        return -1;
    case fault_kind::eagain:
        errno = EAGAIN;
        return -1;
    case fault_kind::eio:
        errno = EIO;
        return -1;
    case fault_kind::zero:
        return 0;
    case fault_kind::slow:
        sleep_ms(step->arg);
        break;
    case fault_kind::short_transfer:
        return part(std::min(count, size_t(step->arg)));
    }
    return through();
}

using pread_function = ssize_t (*)(int, void*, size_t, off_t);
using pwrite_function = ssize_t (*)(int, const void*, size_t, off_t);

pread_function libc_pread() {
    static auto real = next_symbol<pread_function>("pread");
    return real;
}

pwrite_function libc_pwrite() {
    static auto real = next_symbol<pwrite_function>("pwrite");
    return real;
}

// The whole logical blocks around a byte range, for direct I/O.
struct block_span {
    off_t start;
    size_t skip;    // bytes of the first block before the range
    size_t length;  // whole blocks
};

block_span span_of(int fd, off_t offset, size_t n) {
    int size = 0;
    if (ioctl(fd, BLKSSZGET, &size) < 0 || size <= 0)
        size = 512;
    off_t start = offset / size * size;
    size_t skip = size_t(offset - start);
    size_t length = (skip + n + size_t(size) - 1) / size_t(size) * size_t(size);
    return {start, skip, length};
}

bool is_direct(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_DIRECT);
}

// A page-aligned buffer that is not one of the program's allocations.
struct bounce_buffer {
    explicit bounce_buffer(size_t n) : size(n) {
        void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    ~bounce_buffer() {
        int saved = errno;
        if (data)
            munmap(data, size);
        errno = saved;
    }
    bounce_buffer(const bounce_buffer&) = delete;
    bounce_buffer& operator=(const bounce_buffer&) = delete;
    unsigned char* data;
    size_t size;
};

// Reads the span's whole blocks into the bounce buffer. Returns how many of
// its bytes the device had, or -1.
ssize_t read_span(int fd, const block_span& span, const bounce_buffer& bounce) {
    if (!bounce.data)
        return -1;
    return libc_pread()(fd, bounce.data, span.length, span.start);
}

// Reads at most n bytes at offset. On an O_DIRECT descriptor the whole
// blocks around them are read into a bounce buffer, so that an unaligned
// follow-up call still works.
ssize_t read_part(int fd, void* buf, size_t n, off_t offset) {
    if (!is_direct(fd))
        return libc_pread()(fd, buf, n, offset);
    block_span span = span_of(fd, offset, n);
    bounce_buffer bounce(span.length);
    ssize_t got = read_span(fd, span, bounce);
    if (got < 0)
        return -1;
    size_t moved = size_t(got) > span.skip ? std::min(n, size_t(got) - span.skip) : 0;
    memcpy(buf, bounce.data + span.skip, moved);
    return ssize_t(moved);
}

// Writes at most n bytes at offset; on an O_DIRECT descriptor by reading the
// blocks around them, changing those bytes and writing the blocks back.
ssize_t write_part(int fd, const void* buf, size_t n, off_t offset) {
    if (!is_direct(fd))
        return libc_pwrite()(fd, buf, n, offset);
    block_span span = span_of(fd, offset, n);
    bounce_buffer bounce(span.length);
    ssize_t got = read_span(fd, span, bounce);
    if (got < 0)
        return -1;
    if (size_t(got) <= span.skip)
        return 0;
    size_t moved = std::min(n, size_t(got) - span.skip);
    memcpy(bounce.data + span.skip, buf, moved);
    if (libc_pwrite()(fd, bounce.data, size_t(got), span.start) < 0)
        return -1;
    return ssize_t(moved);
}

ssize_t steer_pread(pread_function real, int fd, void* buf, size_t count, off_t offset) {
    return steer(
        pread_plan, fd, count, [&] { return real(fd, buf, count, offset); },
        [&](size_t n) { return read_part(fd, buf, n, offset); });
}

ssize_t steer_pwrite(pwrite_function real, int fd, const void* buf, size_t count, off_t offset) {
    return steer(
        pwrite_plan, fd, count, [&] { return real(fd, buf, count, offset); },
        [&](size_t n) { return write_part(fd, buf, n, offset); });
}

// ---- Swapped paths ----------------------------------------------------------

void swap_before_open(const char* path) {
    static bool swapped = false;
    const char* plan = getenv("VLM_TESTBED_SWAP_AT_OPEN");
    const char* split = plan ? strchr(plan, '=') : nullptr;
    if (swapped || !split || !path)
        return;
    std::string target(plan, size_t(split - plan));
    if (target != path)
        return;
    swapped = true;
    rename(split + 1, target.c_str());
}

}  // namespace

extern "C" {

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    static auto real = next_symbol<pread_function>("pread");
    return steer_pread(real, fd, buf, count, offset);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static auto real = next_symbol<pread_function>("pread64");
    return steer_pread(real, fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    static auto real = next_symbol<pwrite_function>("pwrite");
    return steer_pwrite(real, fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    static auto real = next_symbol<pwrite_function>("pwrite64");
    return steer_pwrite(real, fd, buf, count, offset);
}

// A short write through write() moves the file position by what it wrote.
ssize_t write(int fd, const void* buf, size_t count) {
    static auto real = next_symbol<ssize_t (*)(int, const void*, size_t)>("write");
    return steer(
        write_plan, fd, count, [&] { return real(fd, buf, count); },
        [&](size_t n) -> ssize_t {
            off_t position = lseek(fd, 0, SEEK_CUR);
            if (position < 0)
                return -1;
            ssize_t done = write_part(fd, buf, n, position);
            if (done > 0)
                lseek(fd, position + done, SEEK_SET);
            return done;
        });
}

int open(const char* path, int flags, ...) {
    static auto real = next_symbol<int (*)(const char*, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    swap_before_open(path);
    return real(path, flags, mode);
}

// On this 64-bit system the 64 forms are the plain ones.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

// The checked forms a fortified caller uses when its flags are not constant.
int __open_2(const char* path, int flags) {
    static auto real = next_symbol<int (*)(const char*, int)>("__open_2");
    swap_before_open(path);
    return real(path, flags);
}

int __open64_2(const char* path, int flags) __attribute__((alias("__open_2")));

int fsync(int fd) {
    static auto real = next_symbol<int (*)(int)>("fsync");
    auto through = [&] { return ssize_t(real(fd)); };
    return int(steer(fsync_plan, fd, 0, through, [&](size_t) { return through(); }));
}

}  // extern "C"
