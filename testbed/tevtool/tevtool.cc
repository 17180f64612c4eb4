// SPDX-License-Identifier: GPL-2.0-or-later
// tevtool, the testbed's driver tool: does the real work on a stand-in
// manager, a directory whose disks/ holds one block node per disk, named by
// the label that the node's device carries.
//
//   tevtool -I -l MANAGER -n NAME               is disks/NAME a valid disk?
//   tevtool -I -l MANAGER -n DEVICE -a label    which label does DEVICE carry?
//   tevtool -D -l MANAGER -n NAME               removes disks/NAME
//   tevtool -C -l MANAGER -n LABEL -s DEVICE -a mark=no
//                                               creates disks/LABEL for DEVICE
//
// Answers go to standard output, failures to standard error with the reason
// in the C library's words; the exit code is the negated errno.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/frame.h"
#include "label/label.h"
#include "lib/owners.h"

using namespace vlm;

namespace {

const char tool_usage[] =
    "Usage: tevtool -I -l <manager> -n <disk>\n"
    "       tevtool -I -l <manager> -n <device> -a label\n"
    "       tevtool -D -l <manager> -n <disk>\n"
    "       tevtool -C -l <manager> -n <label> -s <device> -a mark=no\n";

struct request {
    int command = 0;  // 'I', 'D' or 'C'
    const char* manager = nullptr;
    const char* name = nullptr;
    const char* source = nullptr;
    const char* attribute = nullptr;
};

// Prints the failure and returns the negated errno that becomes the exit code.
__attribute__((format(printf, 2, 3))) int fail(int err, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return -err;
}

std::string disk_path(const request& req) {
    return std::string(req.manager) + "/disks/" + req.name;
}

// A disk name is one directory entry: never a path that leads elsewhere.
bool is_entry_name(const char* name) {
    return *name && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

// Reads the label of a block device into *label. Returns 0, -ENXIO when the
// device carries none, or the negated errno of the open or read, with *step
// naming what failed.
int read_device_label(const char* path, malloc_ptr<char>* label, const char** step) {
    *step = "open";
    unique_fd fd(open_label_device(path, false));
    if (!fd)
        return fd.get();
    *step = "read";
    label_info info;
    int rc = read_label_block(fd.get(), &info);
    if (rc < 0)
        return rc;
    *step = "verify";
    if (check_label_magic(&info, false) != 0)
        return -ENXIO;
    *label = copy_label(&info);
    return *label ? 0 : -ENOMEM;
}

int query_disk(const request& req) {
    if (!is_entry_name(req.name))
        return fail(EINVAL, "Unable to query disk \"%s\": %s\n", req.name, strerror(EINVAL));
    std::string path = disk_path(req);
    malloc_ptr<char> label;
    const char* step;
    int rc = read_device_label(path.c_str(), &label, &step);
    if (rc == 0 && std::strcmp(label.get(), req.name) != 0)
        rc = -ENXIO;
    if (rc == -ENOTBLK)  // not a node at all: nothing the driver could serve
        return fail(EINVAL, "Unable to query disk \"%s\": %s\n", req.name, strerror(EINVAL));
    if (rc == -ENOENT || rc == -ENXIO || rc == -ENODEV)  // the device or its label is gone
        return fail(ENODEV, "Unable to %s disk \"%s\": %s\n", step, req.name, strerror(ENODEV));
    if (rc < 0)
        return fail(-rc, "Unable to %s disk \"%s\": %s\n", step, req.name, strerror(-rc));
    std::printf("Disk \"%s\" is a valid TEV disk\n", req.name);
    return 0;
}

int query_device(const request& req) {
    if (std::strcmp(req.attribute, "label") != 0)
        return fail(EINVAL, "Unknown attribute \"%s\": %s\n", req.attribute, strerror(EINVAL));
    malloc_ptr<char> label;
    const char* step;
    int rc = read_device_label(req.name, &label, &step);
    if (rc == -ENXIO && std::strcmp(step, "verify") == 0)
        return fail(ENXIO, "Device \"%s\" is not marked\n", req.name);
    if (rc < 0)
        return fail(-rc, "Unable to %s device \"%s\": %s\n", step, req.name, strerror(-rc));
    std::printf("Device \"%s\" is marked as disk \"%s\"\n", req.name, label.get());
    return 0;
}

int delete_disk(const request& req) {
    if (!is_entry_name(req.name))
        return fail(EINVAL, "Unable to delete disk \"%s\": %s\n", req.name, strerror(EINVAL));
    if (unlink(disk_path(req).c_str()) < 0)
        return fail(errno, "Unable to delete disk \"%s\": %s\n", req.name, strerror(errno));
    return 0;
}

int create_disk(request& req) {
    if (!req.source || !req.attribute || std::strcmp(req.attribute, "mark=no") != 0 || !*req.name)
        return fail(EINVAL, "Unable to create disk \"%s\": %s\n", req.name, strerror(EINVAL));
    validate_label(const_cast<char*>(req.name));  // ends the run for a bad name
    struct stat st;
    if (stat(req.source, &st) < 0)
        return fail(errno, "Unable to open device \"%s\": %s\n", req.source, strerror(errno));
    if (!S_ISBLK(st.st_mode))
        return fail(ENOTBLK, "Unable to open device \"%s\": %s\n", req.source, strerror(ENOTBLK));
    umask(0);
    if (mknod(disk_path(req).c_str(), S_IFBLK | 0600, st.st_rdev) < 0)
        return fail(errno, "Unable to create disk \"%s\": %s\n", req.name, strerror(errno));
    std::printf("Disk \"%s\" created for device \"%s\"\n", req.name, req.source);
    return 0;
}

bool parse_request(int argc, char** argv, request* req) {
    opterr = 0;
    const char* optstring = ":IDCl:n:s:a:";
    for (int c = getopt(argc, argv, optstring); c != -1; c = getopt(argc, argv, optstring)) {
        switch (c) {
        case 'I':
        case 'D':
        case 'C':
            if (req->command && req->command != c)
                return false;
            req->command = c;
            break;
        case 'l': req->manager = optarg; break;
        case 'n': req->name = optarg; break;
        case 's': req->source = optarg; break;
        case 'a': req->attribute = optarg; break;
        default: return false;
        }
    }
    return req->command && req->manager && req->name && optind == argc;
}

}  // namespace

int main(int argc, char** argv) {
    progname = "tevtool";
    usage_text = tool_usage;
    request req;
    if (!parse_request(argc, argv, &req))
        print_usage(-EINVAL, "%s\n", strerror(EINVAL));
    switch (req.command) {
    case 'I':
        return req.attribute ? query_device(req) : query_disk(req);
    case 'D':
        return delete_disk(req);
    default:
        return create_disk(req);
    }
}
