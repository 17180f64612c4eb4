// SPDX-License-Identifier: GPL-2.0-or-later
// The testbed layer's stand-ins for the driver (see layer.h):
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

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "lib/manager.h"

#include "layer.h"

using namespace vlm::testbed;

namespace {

// As statfs reports it: the type word holds the manager's number as is.
constexpr auto manager_type = static_cast<__fsword_t>(vlm::manager_fs_type);

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

}  // extern "C"
