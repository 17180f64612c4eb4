// The testbed layer, loaded with LD_PRELOAD into a program under test. It
// stands in for what this machine lacks, steered by environment variables:
//
//   VLM_TESTBED_MANAGERS=DIR[:DIR...]
//       statfs and fstatfs report the manager filesystem's type word for
//       these directories (compared by device and inode, so "dir/" and
//       "dir//" count too).
//   VLM_TESTBED_GEOMETRY=PATH=START[,PATH=START...]
//       HDIO_GETGEO on a descriptor of the block device at PATH answers with
//       that start sector; START "fail" makes the request fail with ENOTTY.
//   VLM_TESTBED_RRPART_LOG=FILE
//       every BLKRRPART request appends "MAJOR:MINOR\n" of its device to FILE
//       before it goes on to the kernel.
//
// Faults, for the device I/O of the programs:
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
//   VLM_TESTBED_FAIL_ALLOC=N
//       the N-th allocation (malloc, calloc, realloc, posix_memalign,
//       aligned_alloc, memalign; strdup, fopen and operator new come through
//       malloc) fails: counted from the start of main, so that the start-up
//       of the C library and the C++ runtime does not shift the count, and
//       only those the program makes, itself or through the C library (not
//       the dynamic loader's, not those of a library it loads, not this
//       layer's). The variable is taken out of the environment at the start
//       of main, so programs started by this one count nothing. In a program
//       built with AddressSanitizer the runtime's own strdup and operator new
//       do not come through malloc: counts there differ from the plain build.
//   VLM_TESTBED_SWAP_AT_OPEN=PATH=FILE
//       the first open of PATH (the text as the program passes it) renames
//       FILE onto PATH just before it goes on, as if the path were swapped
//       between the program's look at it and its open.
//   VLM_TESTBED_ALLOC_COUNT=FILE
//       at its end the program writes the number of allocations it made,
//       counted the same way, to FILE, so that a test knows how many there
//       are to fail.
//
// Everything else passes through to the C library unchanged.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "manager.h"

namespace {

// As statfs reports it: the type word holds the manager's number as is.
constexpr auto manager_type = static_cast<__fsword_t>(vlm::manager_fs_type);

template <typename F>
F next_symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Calls fn on each element of a list separated by sep.
template <typename Fn>
bool for_each_item(const char* list, char sep, Fn fn) {
    if (!list)
        return false;
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t end = rest.find(sep);
        std::string_view item = rest.substr(0, end);
        if (!item.empty() && fn(item))
            return true;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

bool stat_item(std::string_view item, struct stat* st) {
    char path[4096];
    if (item.size() >= sizeof path)
        return false;
    memcpy(path, item.data(), item.size());
    path[item.size()] = '\0';
    return stat(path, st) == 0;
}

bool is_listed_manager(const struct stat& target) {
    return for_each_item(getenv("VLM_TESTBED_MANAGERS"), ':', [&](std::string_view dir) {
        struct stat st;
        return stat_item(dir, &st) && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
    });
}

template <typename Statfs>
void mark_manager(const struct stat& target, Statfs* buf) {
    if (is_listed_manager(target))
        buf->f_type = manager_type;
}

// Looks up the geometry entry of a block device: 1 with *start set, 0 when the
// entry says "fail", -1 when the device is not listed.
int geometry_of(dev_t rdev, unsigned long* start) {
    int answer = -1;
    for_each_item(getenv("VLM_TESTBED_GEOMETRY"), ',', [&](std::string_view entry) {
        size_t eq = entry.rfind('=');
        if (eq == std::string_view::npos)
            return false;
        struct stat st;
        if (!stat_item(entry.substr(0, eq), &st) || !S_ISBLK(st.st_mode) || st.st_rdev != rdev)
            return false;
        std::string_view value = entry.substr(eq + 1);
        if (value == "fail") {
            answer = 0;
        } else {
            *start = strtoul(std::string(value).c_str(), nullptr, 10);
            answer = 1;
        }
        return true;
    });
    return answer;
}

void log_rrpart(dev_t rdev) {
    const char* log = getenv("VLM_TESTBED_RRPART_LOG");
    if (!log)
        return;
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    dprintf(fd, "%u:%u\n", major(rdev), minor(rdev));
    close(fd);
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

// ---- Allocation failures ----------------------------------------------------

bool counting_allocations = false;  // from the start of main on
int layer_depth = 0;                // inside this layer's own work
long allocation_count = 0;
long failing_allocation = 0;        // 0: none fails

// Keeps what this layer allocates for itself out of the count.
struct layer_scope {
    layer_scope() { layer_depth++; }
    ~layer_scope() { layer_depth--; }
    layer_scope(const layer_scope&) = delete;
    layer_scope& operator=(const layer_scope&) = delete;
};

// The loaded segments of the program and of the C library: allocations
// whose caller lies in them are counted.
struct code_range {
    uintptr_t start, end;
};
code_range counted_code[32];
int counted_ranges = 0;

void note_counted_code() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            std::string_view name(info->dlpi_name ? info->dlpi_name : "");
            bool program = name.empty();  // the first entry: the program itself
            bool libc = name.find("/libc.so") != std::string_view::npos;
            for (int i = 0; (program || libc) && i < info->dlpi_phnum; i++) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && counted_ranges < int(std::size(counted_code)))
                    counted_code[counted_ranges++] = {info->dlpi_addr + ph.p_vaddr,
                                                      info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
            }
            return 0;
        },
        nullptr);
}

bool counted_caller(const void* caller) {
    auto at = reinterpret_cast<uintptr_t>(caller);
    for (int i = 0; i < counted_ranges; i++)
        if (at >= counted_code[i].start && at < counted_code[i].end)
            return true;
    return false;
}

bool allocation_fails(const void* caller) {
    if (!counting_allocations || layer_depth > 0 || !counted_caller(caller))
        return false;
    return ++allocation_count == failing_allocation;
}

using main_function = int (*)(int, char**, char**);
main_function program_main;

const char* count_file;

// Runs when the program ends through exit or a return from main.
void write_allocation_count() {
    int fd = open(count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    dprintf(fd, "%ld\n", allocation_count);
    close(fd);
}

int counting_main(int argc, char** argv, char** envp) {
    if (const char* n = getenv("VLM_TESTBED_FAIL_ALLOC"))
        failing_allocation = strtol(n, nullptr, 10);
    count_file = getenv("VLM_TESTBED_ALLOC_COUNT");
    if (count_file)
        atexit(write_allocation_count);
    // The counts are this program's: a tool it starts counts nothing.
    unsetenv("VLM_TESTBED_FAIL_ALLOC");
    unsetenv("VLM_TESTBED_ALLOC_COUNT");
    note_counted_code();
    counting_allocations = true;
    return program_main(argc, argv, envp);
}

// The C library's allocator, found with dlsym. dlsym may itself allocate
// before the pointers are known; such requests are served from a small
// arena whose blocks are never given back.
struct allocator {
    void* (*malloc)(size_t);
    void* (*calloc)(size_t, size_t);
    void* (*realloc)(void*, size_t);
    void (*free)(void*);
    int (*posix_memalign)(void**, size_t, size_t);
    void* (*aligned_alloc)(size_t, size_t);
    void* (*memalign)(size_t, size_t);
};
allocator libc_allocator;
bool resolving_allocator = false;

alignas(64) char arena[16384];
size_t arena_used = 0;

bool in_arena(const void* p) {
    return p >= static_cast<const void*>(arena) && p < static_cast<const void*>(arena + sizeof arena);
}

void* arena_alloc(size_t size) {
    size = (size + 63) & ~size_t(63);
    if (size > sizeof arena - arena_used)
        return nullptr;
    void* p = arena + arena_used;
    arena_used += size;
    return p;  // the arena is static storage, so it starts zeroed
}

const allocator& real_allocator() {
    if (!libc_allocator.malloc && !resolving_allocator) {
        resolving_allocator = true;
        allocator a;
        a.malloc = next_symbol<decltype(a.malloc)>("malloc");
        a.calloc = next_symbol<decltype(a.calloc)>("calloc");
        a.realloc = next_symbol<decltype(a.realloc)>("realloc");
        a.free = next_symbol<decltype(a.free)>("free");
        a.posix_memalign = next_symbol<decltype(a.posix_memalign)>("posix_memalign");
        a.aligned_alloc = next_symbol<decltype(a.aligned_alloc)>("aligned_alloc");
        a.memalign = next_symbol<decltype(a.memalign)>("memalign");
        libc_allocator = a;
        resolving_allocator = false;
    }
    return libc_allocator;
}

// ---- I/O faults -------------------------------------------------------------

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

}  // namespace

extern "C" {

int statfs(const char* path, struct statfs* buf) {
    layer_scope scope;
    static auto real = next_symbol<int (*)(const char*, struct statfs*)>("statfs");
    int rc = real(path, buf);
    struct stat st;
    if (rc == 0 && stat(path, &st) == 0)
        mark_manager(st, buf);
    return rc;
}

int statfs64(const char* path, struct statfs64* buf) {
    layer_scope scope;
    static auto real = next_symbol<int (*)(const char*, struct statfs64*)>("statfs64");
    int rc = real(path, buf);
    struct stat st;
    if (rc == 0 && stat(path, &st) == 0)
        mark_manager(st, buf);
    return rc;
}

int fstatfs(int fd, struct statfs* buf) {
    layer_scope scope;
    static auto real = next_symbol<int (*)(int, struct statfs*)>("fstatfs");
    int rc = real(fd, buf);
    struct stat st;
    if (rc == 0 && fstat(fd, &st) == 0)
        mark_manager(st, buf);
    return rc;
}

int fstatfs64(int fd, struct statfs64* buf) {
    layer_scope scope;
    static auto real = next_symbol<int (*)(int, struct statfs64*)>("fstatfs64");
    int rc = real(fd, buf);
    struct stat st;
    if (rc == 0 && fstat(fd, &st) == 0)
        mark_manager(st, buf);
    return rc;
}

int ioctl(int fd, unsigned long request, ...) {
    layer_scope scope;
    static auto real = next_symbol<int (*)(int, unsigned long, void*)>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    struct stat st;
    if ((request == HDIO_GETGEO || request == BLKRRPART) && fstat(fd, &st) == 0 &&
        S_ISBLK(st.st_mode)) {
        if (request == BLKRRPART) {
            log_rrpart(st.st_rdev);
        } else {
            unsigned long start = 0;
            int answer = geometry_of(st.st_rdev, &start);
            if (answer == 0) {
                errno = ENOTTY;
                return -1;
            }
            if (answer == 1) {
                auto* geo = static_cast<struct hd_geometry*>(arg);
                geo->heads = 255;
                geo->sectors = 63;
                geo->cylinders = 0;
                geo->start = start;
                return 0;
            }
        }
    }
    return real(fd, request, arg);
}

// ---- Faults and allocation failures ------------------------------------------

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

int open64(const char* path, int flags, ...) {
    static auto real = next_symbol<int (*)(const char*, int, ...)>("open64");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    swap_before_open(path);
    return real(path, flags, mode);
}

// The checked forms a fortified caller uses when its flags are not constant.
int __open_2(const char* path, int flags) {
    static auto real = next_symbol<int (*)(const char*, int)>("__open_2");
    swap_before_open(path);
    return real(path, flags);
}

int __open64_2(const char* path, int flags) {
    static auto real = next_symbol<int (*)(const char*, int)>("__open64_2");
    swap_before_open(path);
    return real(path, flags);
}

int fsync(int fd) {
    static auto real = next_symbol<int (*)(int)>("fsync");
    auto through = [&] { return ssize_t(real(fd)); };
    return int(steer(fsync_plan, fd, 0, through, [&](size_t) { return through(); }));
}

int __libc_start_main(main_function main, int argc, char** argv, void (*init)(),
                      void (*fini)(), void (*rtld_fini)(), void* stack_end) {
    auto real = next_symbol<int (*)(main_function, int, char**, void (*)(), void (*)(),
                                    void (*)(), void*)>("__libc_start_main");
    program_main = main;
    return real(counting_main, argc, argv, init, fini, rtld_fini, stack_end);
}

void* malloc(size_t size) {
    const allocator& a = real_allocator();
    if (!a.malloc)
        return arena_alloc(size);
    if (allocation_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return a.malloc(size);
}

void* calloc(size_t n, size_t size) {
    const allocator& a = real_allocator();
    if (!a.calloc)
        return size && n > (sizeof arena) / size ? nullptr : arena_alloc(n * size);
    if (allocation_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return a.calloc(n, size);
}

void* realloc(void* p, size_t size) {
    const allocator& a = real_allocator();
    if (in_arena(p) || !a.realloc) {
        // Arena blocks do not record their size: copy what is left of the
        // arena after the block, at most the new size.
        void* moved = malloc(size);
        if (moved && p)
            memcpy(moved, p, std::min(size, size_t(arena + sizeof arena - static_cast<char*>(p))));
        return moved;
    }
    if (allocation_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return a.realloc(p, size);
}

void free(void* p) {
    if (!p || in_arena(p))
        return;
    real_allocator().free(p);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    const allocator& a = real_allocator();
    if (!a.posix_memalign || allocation_fails(__builtin_return_address(0)))
        return ENOMEM;
    return a.posix_memalign(out, alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    const allocator& a = real_allocator();
    if (allocation_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return a.aligned_alloc(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
    const allocator& a = real_allocator();
    if (allocation_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return a.memalign(alignment, size);
}

}  // extern "C"
