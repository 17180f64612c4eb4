// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/sysfs.h"

#include <dirent.h>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "lib/owners.h"

namespace vlm {

namespace {

constexpr const char* multipath_prefix = "mpath-";

std::vector<std::string> directory_names(const std::string& path) {
    std::vector<std::string> names;
    unique_dir dir(opendir(path.c_str()));
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string trim_text(std::string text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string read_small_file(const std::string& path) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    char buffer[512];
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Page 0x80 of the vital product data: a four-byte header, then the serial
// number, its length in the header's last byte.
std::string serial_from_vpd(const std::string& page) {
    if (page.size() < 4)
        return {};
    size_t length = static_cast<unsigned char>(page[3]);
    std::string serial = page.substr(4, length);
    return trim_text(serial.substr(0, serial.find('\0')));
}

}  // namespace

std::string read_attribute(const std::string& path) {
    std::string text = read_small_file(path);
    return trim_text(text.substr(0, text.find('\n')));
}

void sysfs_view::read_maps() {
    if (maps_read)
        return;
    maps_read = true;
    std::string block = root + "/block/";
    for (const std::string& disk : directory_names(block)) {
        if (disk.rfind("dm-", 0) != 0)
            continue;
        std::string uuid = read_attribute(block + disk + "/dm/uuid");
        if (uuid.rfind(multipath_prefix, 0) != 0)
            continue;
        for (const std::string& path : directory_names(block + disk + "/slaves"))
            path_map[path] = disk;
    }
}

void sysfs_view::read_partitions() {
    if (partitions_read)
        return;
    partitions_read = true;
    std::string block = root + "/block/";
    for (const std::string& disk : directory_names(block))
        for (const std::string& entry : directory_names(block + disk))
            if (entry.rfind(disk, 0) == 0 && exists(block + disk + "/" + entry + "/partition"))
                partition_disk[entry] = disk;
}

std::string sysfs_view::whole_disk(const std::string& name) {
    if (exists(root + "/block/" + name))
        return name;
    // class/block/NAME leads to the partition's directory inside its disk's.
    std::string link = root + "/class/block/" + name;
    if (char* real = realpath(link.c_str(), nullptr)) {
        std::string path = real;
        std::free(real);
        path.erase(path.rfind('/'));
        return path.substr(path.rfind('/') + 1);
    }
    read_partitions();
    auto found = partition_disk.find(name);
    return found == partition_disk.end() ? name : found->second;
}

std::string sysfs_view::device_dir(const std::string& name) {
    std::string whole = whole_disk(name);
    std::string dir = root + "/block/" + whole;
    return whole == name ? dir : dir + "/" + name;
}

// A map has no WWID of its own in sysfs: it is its paths' (so that a map
// and its paths show the same one), else the one in its uuid.
std::string sysfs_view::map_wwid(const std::string& map_dir, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::string wwid = read_attribute(root + "/block/" + path + "/device/wwid");
        if (!wwid.empty())
            return wwid;
    }
    return read_attribute(map_dir + "/dm/uuid").substr(std::string_view(multipath_prefix).size());
}

device_facts sysfs_view::facts(const std::string& name) {
    device_facts out;
    std::string whole = whole_disk(name);
    std::string dir = root + "/block/" + whole;
    // A disk without a device directory (a loop device, a map) has no
    // identity there: one look instead of three failed opens, per device.
    if (exists(dir + "/device")) {
        out.wwid = read_attribute(dir + "/device/wwid");
        out.serial = read_attribute(dir + "/device/serial");
        if (out.serial.empty())
            out.serial = serial_from_vpd(read_small_file(dir + "/device/vpd_pg80"));
    }
    if (out.wwid.empty())
        out.wwid = read_attribute(dir + "/wwid");

    // Only device-mapper disks, all named dm-N, can be multipath maps.
    std::string map;
    if (whole.rfind("dm-", 0) == 0 &&
        read_attribute(dir + "/dm/uuid").rfind(multipath_prefix, 0) == 0) {
        map = whole;
    } else {
        read_maps();
        auto found = path_map.find(whole);
        if (found != path_map.end())
            map = found->second;
    }
    if (!map.empty()) {
        std::string map_dir = root + "/block/" + map;
        out.map = map;
        out.map_name = read_attribute(map_dir + "/dm/name");
        out.map_paths = directory_names(map_dir + "/slaves");
        std::sort(out.map_paths.begin(), out.map_paths.end());
        if (map == whole && out.wwid.empty())
            out.wwid = map_wwid(map_dir, out.map_paths);
    }
    return out;
}

std::vector<std::string> sysfs_view::holders(const std::string& name) {
    return directory_names(device_dir(name) + "/holders");
}

}  // namespace vlm
