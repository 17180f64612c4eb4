// SPDX-License-Identifier: GPL-2.0-or-later
// The testbed layer's allocation counting and failures (see layer.h):
//
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
//   VLM_TESTBED_ALLOC_COUNT=FILE
//       at its end the program writes the number of allocations it made,
//       counted the same way, to FILE, so that a test knows how many there
//       are to fail.

#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "layer.h"

using namespace vlm::testbed;

thread_local int vlm::testbed::layer_depth = 0;

namespace {

bool counting_allocations = false;  // from the start of main on
std::atomic<long> allocation_count{0};  // threads allocate at once
long failing_allocation = 0;        // 0: none fails

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
    return allocation_count.fetch_add(1) + 1 == failing_allocation;
}

using main_function = int (*)(int, char**, char**);
main_function program_main;

const char* count_file;

// Runs when the program ends through exit or a return from main.
void write_allocation_count() {
    int fd = open(count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    dprintf(fd, "%ld\n", allocation_count.load());
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

}  // namespace

extern "C" {

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
