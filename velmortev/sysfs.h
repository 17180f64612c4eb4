// SPDX-License-Identifier: GPL-2.0-or-later
// What sysfs tells about a block device beside its bytes: its whole disk,
// the disk's WWID and serial, the multipath map it is or belongs to with
// the map's paths, and what holds it.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vlm {

struct device_facts {
    std::string wwid;     // empty where the device has none
    std::string serial;   // empty where the device has none
    std::string map;      // the multipath map's kernel name (dm-N), or empty
    std::string map_name; // its name as the map table gives it
    std::vector<std::string> map_paths;  // the map's paths, kernel names
};

// One look at a sysfs tree ("/sys", or a test's fixture tree). Multipath
// maps are found once, on the first question that needs them; the disk of a
// partition through class/block, or where a tree lacks it, by one walk over
// the disks' directories.
struct sysfs_view {
    std::string root = "/sys";

    // Kernel name of the whole disk a device name belongs to (itself for a
    // whole disk).
    std::string whole_disk(const std::string& name);
    // The facts of a device; a partition inherits its whole disk's.
    device_facts facts(const std::string& name);
    // The kernel names of whatever holds the device (a map, a RAID set).
    std::vector<std::string> holders(const std::string& name);

private:
    bool maps_read = false;
    bool partitions_read = false;
    std::map<std::string, std::string> partition_disk;  // partition -> whole disk
    std::map<std::string, std::string> path_map;        // path -> map
    void read_maps();
    void read_partitions();
    std::string device_dir(const std::string& name);
    std::string map_wwid(const std::string& map_dir, const std::vector<std::string>& paths);
};

// The first line of a small file without its line end and surrounding
// blanks; empty when it cannot be read.
std::string read_attribute(const std::string& path);

}  // namespace vlm
