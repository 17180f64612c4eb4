// SPDX-License-Identifier: GPL-2.0-or-later
// The world of the option-loop targets. The programs run whole, options,
// operands and all, but whatever a fuzzed path names, nothing outside this
// process is opened, changed or asked: the calls by which the kit reaches
// devices, directories, the kernel's tables and libraries are linked to these
// stand-ins (--wrap). While a program runs, every path gives "no such file"
// except the null device and two fixed kernel tables; outside it (the
// fuzzer reading its corpus) the calls go through.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "harness.h"

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_openat(int dirfd, const char* path, int flags, ...);
int __real_stat(const char* path, struct stat* st);
int __real_lstat(const char* path, struct stat* st);
int __real_statfs(const char* path, struct statfs* st);
DIR* __real_opendir(const char* path);
int __real_mknod(const char* path, mode_t mode, dev_t dev);
int __real_unlink(const char* path);
int __real_ioctl(int fd, unsigned long request, ...);
void* __real_dlopen(const char* path, int mode);
}

namespace {

const char fake_partitions[] =
    "major minor  #blocks  name\n"
    "\n"
    "   7        0      65536 loop0\n"
    "   8        0  976762584 sda\n"
    "   8        1     524288 sda1\n"
    "   8       16  976762584 sdb\n"
    "   0        5       1024 nothing\n"
    "  11        0    1048575 sr0\n";

const char fake_devices[] =
    "Character devices:\n"
    "  1 mem\n"
    "  4 tty\n"
    "\n"
    "Block devices:\n"
    "  7 loop\n"
    "  8 sd\n"
    "254 mdp\n"
    "254 device-mapper\n";

bool is_null_device(const char* path) { return path && std::strcmp(path, "/dev/null") == 0; }

int refuse(int error) {
    errno = error;
    return -1;
}

mode_t mode_argument(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
}

}  // namespace

extern "C" {

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (!fuzz::in_program() || is_null_device(path))
        return __real_fopen(path, mode);
    std::string_view p(path ? path : "");
    const char* table = p == "/proc/partitions" ? fake_partitions
                        : p == "/proc/devices"  ? fake_devices
                                                : nullptr;
    if (table && mode[0] == 'r')
        return fmemopen(const_cast<char*>(table), std::strlen(table), "r");
    errno = ENOENT;
    return nullptr;
}

int __wrap_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    if (!fuzz::in_program())
        return __real_open(path, flags, mode);
    return refuse(ENOENT);
}

int __wrap_open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    if (!fuzz::in_program())
        return __real_open64(path, flags, mode);
    return refuse(ENOENT);
}

int __wrap_openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    if (!fuzz::in_program())
        return __real_openat(dirfd, path, flags, mode);
    return refuse(ENOENT);
}

int __wrap_stat(const char* path, struct stat* st) {
    return fuzz::in_program() ? refuse(ENOENT) : __real_stat(path, st);
}

int __wrap_lstat(const char* path, struct stat* st) {
    return fuzz::in_program() ? refuse(ENOENT) : __real_lstat(path, st);
}

int __wrap_statfs(const char* path, struct statfs* st) {
    return fuzz::in_program() ? refuse(ENOENT) : __real_statfs(path, st);
}

DIR* __wrap_opendir(const char* path) {
    if (!fuzz::in_program())
        return __real_opendir(path);
    errno = ENOENT;
    return nullptr;
}

int __wrap_mknod(const char* path, mode_t mode, dev_t dev) {
    return fuzz::in_program() ? refuse(EPERM) : __real_mknod(path, mode, dev);
}

int __wrap_unlink(const char* path) {
    return fuzz::in_program() ? refuse(ENOENT) : __real_unlink(path);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fuzz::in_program() ? refuse(ENOTTY) : __real_ioctl(fd, request, arg);
}

void* __wrap_dlopen(const char* path, int mode) {
    return fuzz::in_program() ? nullptr : __real_dlopen(path, mode);
}

}  // extern "C"
