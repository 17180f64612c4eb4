// SPDX-License-Identifier: GPL-2.0-or-later
// Saved regions: the bytes a write is about to change, kept in a file that
// says what it is (a text header a person can read with head -c), and
// written back when the administrator asks.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "lib/blockdev.h"
#include "lib/owners.h"
#include "velmortev/safety.h"

namespace vlm {

namespace {

constexpr std::string_view file_heading = "velmortev saved region 1";
// Regions are label blocks and signatures' magics; a larger one is a
// mistake, and the cap bounds what reading a file back allocates.
constexpr uint64_t region_cap = 16u << 20;
constexpr size_t header_cap = 64u << 10;

// A device open for direct I/O, with what the aligned transfers need.
struct open_device {
    unique_fd fd;
    uint64_t size = 0;
    uint64_t block = 512;
};

int open_direct(const char* path, int flags, open_device& out) {
    out.fd = unique_fd(open_checked_block(path, flags | O_DIRECT | O_CLOEXEC));
    if (!out.fd)
        return out.fd.get();
    if (ioctl(out.fd.get(), BLKGETSIZE64, &out.size) < 0)
        return -errno;
    out.block = static_cast<uint64_t>(logical_block_size(out.fd.get()));
    return 0;
}

// The whole logical blocks around a region, read into an aligned buffer.
struct block_span {
    uint64_t start = 0;
    aligned_buffer buffer;
};

int read_blocks(const open_device& device, device_region region, block_span& out) {
    if (region.length == 0 || region.length > region_cap || region.offset > device.size ||
        region.length > device.size - region.offset)
        return region.length > region_cap ? -EFBIG : -EINVAL;
    out.start = region.offset / device.block * device.block;
    uint64_t end = (region.offset + region.length + device.block - 1) / device.block * device.block;
    if (int rc = out.buffer.make(device.block, end - out.start); rc < 0)
        return rc;
    for (size_t done = 0; done < out.buffer.size();) {
        ssize_t got = pread(device.fd.get(), out.buffer.data() + done, out.buffer.size() - done,
                            static_cast<off_t>(out.start + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? -errno : -EIO;
        done += static_cast<size_t>(got);
    }
    return 0;
}

int write_all(int fd, const unsigned char* data, size_t size, uint64_t at) {
    for (size_t done = 0; done < size;) {
        ssize_t put = pwrite(fd, data + done, size - done, static_cast<off_t>(at + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? -errno : -EIO;
        done += static_cast<size_t>(put);
    }
    return 0;
}

// Makes the missing directories of the path: the last one 0700, since it
// holds disk contents, the ones above it as directories usually are.
int make_directories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        if (mkdir(path.substr(0, slash).c_str(), 0755) < 0 && errno != EEXIST)
            return -errno;
    if (mkdir(path.c_str(), 0700) < 0 && errno != EEXIST)
        return -errno;
    return 0;
}

// The backup directory, made when missing; refused when anyone but its
// owner, this user, could list it or change what it holds.
int open_backup_dir(std::string_view dir, unique_fd& out) {
    std::string path(dir);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty())
        return -EINVAL;
    if (int rc = make_directories(path); rc < 0)
        return rc;
    out = unique_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!out)
        return -errno;
    struct stat st;
    if (fstat(out.get(), &st) < 0)
        return -errno;
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        return -EPERM;
    return 0;
}

// Letters, digits and . : - stay; anything else in a file name becomes _,
// so that a WWID with blanks or a slash still names one file.
std::string name_part(std::string_view text) {
    std::string part(text);
    for (char& c : part) {
        bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == ':' || c == '-';
        if (!kept)
            c = '_';
    }
    return part;
}

struct stamp {
    std::string name;   // 20261208T201501.123456789Z
    std::string taken;  // 2026-12-08T20:15:01.123456789Z
};

stamp now_stamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm utc;
    gmtime_r(&ts.tv_sec, &utc);
    char date[32], nanos[16];
    std::snprintf(nanos, sizeof nanos, ".%09ldZ", ts.tv_nsec);
    stamp out;
    std::strftime(date, sizeof date, "%Y%m%dT%H%M%S", &utc);
    out.name = std::string(date) + nanos;
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    out.taken = std::string(date) + nanos;
    return out;
}

std::string file_name(const device_identity& device, uint64_t offset, const stamp& at) {
    std::string_view path = device.path;
    size_t slash = path.rfind('/');
    std::string name = name_part(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (!device.wwid.empty())
        name += "_" + name_part(device.wwid);
    return name + "_" + std::to_string(offset) + "_" + at.name + ".bak";
}

// One "key value" line per field; a value cannot hold a line break.
bool one_line(std::string_view value) {
    return value.find('\n') == std::string_view::npos && value.find('\0') == std::string_view::npos;
}

std::string file_header(const device_identity& device, uint64_t size, device_region region,
                        const stamp& at) {
    std::string header(file_heading);
    header += "\ndevice " + device.path + "\nsize " + std::to_string(size);
    if (!device.wwid.empty())
        header += "\nwwid " + device.wwid;
    if (!device.serial.empty())
        header += "\nserial " + device.serial;
    header += "\noffset " + std::to_string(region.offset) + "\nlength " +
              std::to_string(region.length) + "\ntaken " + at.taken + "\n\n";
    return header;
}

int write_contents(int fd, const std::string& header, const unsigned char* bytes, size_t length) {
    if (fchmod(fd, 0600) < 0)
        return -errno;
    const auto* head = reinterpret_cast<const unsigned char*>(header.data());
    if (int rc = write_all(fd, head, header.size(), 0); rc < 0)
        return rc;
    if (int rc = write_all(fd, bytes, length, header.size()); rc < 0)
        return rc;
    return fsync(fd) < 0 ? -errno : 0;
}

// Gives the complete, synced unnamed file its name; a name taken already
// (two saves of one region within a clock tick) gets a counter.
int link_unnamed(int fd, int dir, std::string& name) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    std::string base = name;
    for (int n = 1; n < 100; ++n) {
        if (linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        if (errno != EEXIST)
            return -errno;
        name = base + "." + std::to_string(n);
    }
    return -EEXIST;
}

// Where unnamed files are not supported: a named file, removed again when
// it cannot be written whole.
int write_named(int dir, std::string& name, const std::string& header,
                const unsigned char* bytes, size_t length) {
    unique_fd fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
        return -errno;
    int rc = write_contents(fd.get(), header, bytes, length);
    if (rc < 0)
        unlinkat(dir, name.c_str(), 0);
    return rc;
}

int write_saved_file(int dir, std::string& name, const std::string& header,
                     const unsigned char* bytes, size_t length) {
    unique_fd fd(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!fd && (errno == EOPNOTSUPP || errno == EISDIR))
        return write_named(dir, name, header, bytes, length);
    if (!fd)
        return -errno;
    if (int rc = write_contents(fd.get(), header, bytes, length); rc < 0)
        return rc;
    return link_unnamed(fd.get(), dir, name);
}

template <typename Number>
bool parse_number(std::string_view text, Number& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// One header line into the record; false for a line save_region never writes.
bool parse_field(std::string_view line, saved_region& out, uint64_t& length) {
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return false;
    std::string_view key = line.substr(0, blank), value = line.substr(blank + 1);
    if (key == "device")
        out.origin.path = value;
    else if (key == "wwid")
        out.origin.wwid = value;
    else if (key == "serial")
        out.origin.serial = value;
    else if (key == "taken")
        out.taken = value;
    else if (key == "size")
        return parse_number(value, out.origin.size);
    else if (key == "offset")
        return parse_number(value, out.offset);
    else if (key == "length")
        return parse_number(value, length);
    else
        return false;
    return true;
}

int read_whole_file(const char* file, std::string& out) {
    unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -errno;
    struct stat st;
    if (fstat(fd.get(), &st) < 0)
        return -errno;
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > region_cap + header_cap)
        return -EBADMSG;
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t got = read(fd.get(), out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? -errno : -EBADMSG;
        done += static_cast<size_t>(got);
    }
    return 0;
}

// The recorded identity is the origin's unless the device shows otherwise.
bool same_device(const device_identity& origin, const device_identity& current, uint64_t size) {
    if (origin.size != size || (current.size != 0 && current.size != size))
        return false;
    if (!origin.wwid.empty() && !current.wwid.empty())
        return origin.wwid == current.wwid;
    if (!origin.serial.empty() && !current.serial.empty())
        return origin.serial == current.serial;
    return true;
}

}  // namespace

int save_region(std::string_view backup_dir, const device_identity& device,
                device_region region, std::string& saved) {
    if (!one_line(device.path) || !one_line(device.wwid) || !one_line(device.serial))
        return -EINVAL;
    open_device source;
    if (int rc = open_direct(device.path.c_str(), O_RDONLY, source); rc < 0)
        return rc;
    block_span span;
    if (int rc = read_blocks(source, region, span); rc < 0)
        return rc;
    unique_fd dir;
    if (int rc = open_backup_dir(backup_dir, dir); rc < 0)
        return rc;
    stamp at = now_stamp();
    std::string name = file_name(device, region.offset, at);
    std::string header = file_header(device, source.size, region, at);
    const unsigned char* bytes = span.buffer.data() + (region.offset - span.start);
    if (int rc = write_saved_file(dir.get(), name, header, bytes, region.length); rc < 0)
        return rc;
    if (fsync(dir.get()) < 0)
        return -errno;
    saved = std::string(backup_dir);
    if (saved.back() != '/')
        saved += '/';
    saved += name;
    return 0;
}

int read_saved_region(const char* file, saved_region& out) {
    std::string content;
    if (int rc = read_whole_file(file, content); rc < 0)
        return rc;
    size_t end = content.find("\n\n");
    if (end == std::string::npos || end > header_cap)
        return -EBADMSG;
    std::string_view header(content.data(), end + 1);
    size_t line_end = header.find('\n');
    if (header.substr(0, line_end) != file_heading)
        return -EBADMSG;
    out = {};
    uint64_t length = 0;
    for (size_t at = line_end + 1; at < header.size(); at = line_end + 1) {
        line_end = header.find('\n', at);
        if (!parse_field(header.substr(at, line_end - at), out, length))
            return -EBADMSG;
    }
    std::string_view bytes = std::string_view(content).substr(end + 2);
    if (out.origin.path.empty() || out.taken.empty() || length == 0 || bytes.size() != length)
        return -EBADMSG;
    out.bytes.assign(bytes.begin(), bytes.end());
    return 0;
}

int restore_region(const saved_region& saved, const char* device,
                   const device_identity& current) {
    open_device target;
    if (int rc = open_direct(device, O_RDWR | O_EXCL, target); rc < 0)
        return rc;
    if (!same_device(saved.origin, current, target.size))
        return -ENODEV;
    device_region region{saved.offset, saved.bytes.size()};
    block_span span;
    if (int rc = read_blocks(target, region, span); rc < 0)
        return rc;
    std::copy(saved.bytes.begin(), saved.bytes.end(),
              span.buffer.data() + (region.offset - span.start));
    if (int rc = write_all(target.fd.get(), span.buffer.data(), span.buffer.size(), span.start);
        rc < 0)
        return rc;
    return fsync(target.fd.get()) < 0 ? -errno : 0;
}

}  // namespace vlm
