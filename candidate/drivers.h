// SPDX-License-Identifier: GPL-2.0-or-later
// The kernel's driver table (/proc/devices): which driver owns each block and
// character major number. Read once per process, on the first lookup.
#pragma once

#include <cstdint>
#include <string_view>

namespace vlm {

// One number line of the table.
struct driver_entry {
    char* name;       // owned copy, at most 99 characters
    uint32_t major;
    driver_entry* next;
};

// The two sections of the table, each in reverse file order (entries are put
// at the head), so that the last line for a number is the one found first.
extern driver_entry* block_drivers;
extern driver_entry* char_drivers;
// Set only once the whole table has been read.
extern bool driver_table_loaded;
// The table to read; "/proc/devices" unless a test points it elsewhere.
extern const char* driver_table_path;

// Reads the table unless it is loaded already. Returns 0, -ENOMEM or the
// negated errno of the open; after a failure the table stays unloaded and
// empty, so the next lookup tries again.
int load_driver_table();

// The driver name of a major number in one section, or nullptr when the
// number is not listed or the table cannot be read. Borrowed from the table.
const char* block_driver_name(uint32_t major);
const char* char_driver_name(uint32_t major);

// Whether the open descriptor is a block (character) device whose major
// number belongs to the driver of exactly this name.
bool is_block_driver(int fd, std::string_view name);
bool is_char_driver(int fd, std::string_view name);

// Frees every entry of the list with its name and leaves the list empty.
void free_driver_list(driver_entry** list);

// Frees both sections and marks the table unloaded.
void drop_driver_table();

}  // namespace vlm
