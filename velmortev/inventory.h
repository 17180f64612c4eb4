// SPDX-License-Identifier: GPL-2.0-or-later
// The machine's labelled devices as the front end shows and checks them:
// every device of the partition table in scan order with its label, size,
// identity, multipath map and signatures, and the disk nodes of each
// manager, matched with the devices they stand for.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scan/scan.h"
#include "velmortev/safety.h"
#include "velmortev/sysfs.h"

namespace vlm {

// A manager's node for a device's label.
struct node_state {
    std::string manager;
    bool present = false;
    bool this_device = false;  // a block node with the device's number
    dev_t rdev = 0;            // what the node stands for, when present
};

struct device_row {
    std::string path;          // /dev/NAME
    std::string name;          // the partition table's name
    dev_t rdev = 0;
    uint64_t size = 0;
    bool labelled = false;
    std::string label;         // the label bytes up to the first NUL
    bool excluded = false;     // left out by an exclude pattern
    device_facts facts;
    int probe_status = 0;      // of the signature probe, when probed
    std::vector<found_signature> signatures;
    std::vector<node_state> nodes;  // one per manager, for a labelled device
};

// A node of a manager that stands for no labelled device of that name.
struct stray_node {
    std::string manager;
    std::string name;
    bool block = false;
    dev_t rdev = 0;
};

struct inventory {
    std::vector<device_row> rows;  // every device read, in scan order
    std::vector<stray_node> strays;
};

struct inventory_setup {
    std::vector<std::string> order;    // scan order patterns
    std::vector<std::string> exclude;  // exclude patterns
    std::vector<std::string> managers;
    partition_tables tables = {};
    std::string sysfs_root = "/sys";
    bool probe = true;  // probe the labelled devices for signatures
};

// Reads every device of the partition table (those that cannot be opened
// are left out), then the managers' nodes. 0 or a negated errno of the
// scan.
int take_inventory(const inventory_setup& setup, inventory& out);

// Fills the rings with the patterns (borrowed, so they must outlive the
// rings) and the default order pattern that catches the rest. 0 or -ENOMEM.
int fill_patterns(pattern_rings& rings, const std::vector<std::string>& order,
                  const std::vector<std::string>& exclude);

// Whether two rows are one device: the same device number, or members of
// the same multipath map (a map and its paths).
bool same_device(const device_row& a, const device_row& b);

// A label as a node name: what tevscan would create, nothing else.
bool usable_node_name(const std::string& label);

// The size of an open block device in bytes, 0 when it cannot be read.
uint64_t device_size(int fd);

}  // namespace vlm
