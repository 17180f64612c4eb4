// SPDX-License-Identifier: GPL-2.0-or-later
// The writing verbs (create, delete, rename, restore): each checks the
// machine, makes a plan of steps, shows it (--dry-run) or asks for it, and
// runs it step by step, saving every region before it is overwritten.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velmortev/config.h"
#include "velmortev/inventory.h"
#include "velmortev/safety.h"

namespace vlm {

// What one run was told, and what it found before the verb.
struct front_run {
    const char* verb = "";
    std::vector<std::string> given_managers;  // -m, in order
    bool json = false;      // -o json
    bool dry_run = false;   // -n
    bool yes = false;       // -y
    bool replace = false;   // --replace
    bool wipe = false;      // --wipe-signatures
    const char* device = nullptr;  // --device
    const char* textfile = nullptr;  // --textfile
    // --assume-label: device path and label ("" for none) that a scan's
    // plan takes instead of what the device carries now.
    std::vector<std::pair<std::string, std::string>> assumed_labels;
    settings config;
    std::vector<std::string> managers;
    std::string mountinfo = "/proc/self/mountinfo";
    std::string sysfs_root = "/sys";
};

enum class step_kind {
    save_region,      // copy a region of the device into the backup directory
    wipe_signatures,  // erase the foreign signatures
    write_label,      // write the label
    clear_label,      // clear the label
    create_node,      // make the manager's node for the label
    remove_node,      // remove the manager's node
    keep_node,        // leave a node that stands for another device alone
    restore_region,   // write a saved region back
};

struct step {
    step_kind kind;
    std::string device;
    std::string manager;
    std::string label;        // raw bytes
    device_region region;
    std::string file;         // the saved region: made by save, read by restore
    dev_t other = 0;          // keep_node: the device the node stands for
};

struct plan {
    std::vector<step> steps;
    device_identity identity;                    // of the device written
    std::vector<found_signature> signatures;     // wipe_signatures erases these
    saved_region restore;                        // restore_region writes this
};

// The verbs; each returns 0 or a negated errno, having said why.
int create_verb(front_run& run, const char* device, char* label);
int delete_verb(front_run& run, char* label);
int rename_verb(front_run& run, char* old_label, char* new_label);
int restore_verb(front_run& run, const char* backup, const char* device);

// The inventory of the run's configuration and managers.
int run_inventory(const front_run& run, bool probe, inventory& out);

// "MAJOR:MINOR".
std::string device_number(dev_t rdev);

}  // namespace vlm
