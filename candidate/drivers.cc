// SPDX-License-Identifier: GPL-2.0-or-later
#include "candidate/drivers.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/owners.h"

namespace vlm {

driver_entry* block_drivers = nullptr;
driver_entry* char_drivers = nullptr;
bool driver_table_loaded = false;
const char* driver_table_path = "/proc/devices";

namespace {

// Room for 4096 characters of a line and its NUL; a longer line is read in
// pieces, each taken as a line of its own.
constexpr size_t line_size = 4097;

constexpr std::string_view char_header = "Character devices:";
constexpr std::string_view block_header = "Block devices:";

bool starts_with(const char* line, std::string_view header) {
    return std::strncmp(line, header.data(), header.size()) == 0;
}

// Puts a new entry at the head of the list; -ENOMEM leaves the list as it was.
int prepend_entry(driver_entry** list, const char* name, uint32_t major) {
    malloc_ptr<driver_entry> entry(static_cast<driver_entry*>(std::malloc(sizeof(driver_entry))));
    if (!entry)
        return -ENOMEM;
    entry.get()->name = strdup(name);
    if (!entry.get()->name)
        return -ENOMEM;
    entry.get()->major = major;
    entry.get()->next = *list;
    *list = entry.release();
    return 0;
}

// Reads the open table to its end into the two lists. A read error counts as
// the end of the table.
int read_driver_table(FILE* table, char* line, char* name) {
    driver_entry** current = nullptr;
    while (std::fgets(line, int(line_size), table)) {
        if (starts_with(line, char_header)) {
            current = &char_drivers;
            continue;
        }
        if (starts_with(line, block_header)) {
            current = &block_drivers;
            continue;
        }
        name[0] = '\0';
        unsigned major = 0;
        if (std::sscanf(line, "%u %99[^ \t\n]", &major, name) != 2 || !current)
            continue;
        int rc = prepend_entry(current, name, major);
        if (rc < 0)
            return rc;
    }
    return 0;
}

const char* driver_name(driver_entry* const* list, uint32_t major) {
    if (load_driver_table() < 0)
        return nullptr;
    for (const driver_entry* e = *list; e; e = e->next)
        if (e->major == major)
            return e->name;
    return nullptr;
}

bool is_driver(int fd, mode_t type, driver_entry* const* list, std::string_view name) {
    struct stat st;
    if (fstat(fd, &st) < 0 || (st.st_mode & S_IFMT) != type)
        return false;
    const char* found = driver_name(list, uint32_t(major(st.st_rdev)));
    return found && name == found;
}

}  // namespace

int load_driver_table() {
    if (driver_table_loaded)
        return 0;
    malloc_ptr<char> line(static_cast<char*>(std::malloc(line_size)));
    malloc_ptr<char> name(static_cast<char*>(std::malloc(line_size)));
    if (!line || !name)
        return -ENOMEM;
    unique_file table(std::fopen(driver_table_path, "re"));
    if (!table)
        return -errno;
    int rc = read_driver_table(table.get(), line.get(), name.get());
    if (rc < 0) {
        drop_driver_table();
        return rc;
    }
    driver_table_loaded = true;
    return 0;
}

const char* block_driver_name(uint32_t major) {
    return driver_name(&block_drivers, major);
}

const char* char_driver_name(uint32_t major) {
    return driver_name(&char_drivers, major);
}

bool is_block_driver(int fd, std::string_view name) {
    return is_driver(fd, S_IFBLK, &block_drivers, name);
}

bool is_char_driver(int fd, std::string_view name) {
    return is_driver(fd, S_IFCHR, &char_drivers, name);
}

void free_driver_list(driver_entry** list) {
    while (driver_entry* e = *list) {
        *list = e->next;
        std::free(e->name);
        std::free(e);
    }
}

void drop_driver_table() {
    free_driver_list(&char_drivers);
    free_driver_list(&block_drivers);
    driver_table_loaded = false;
}

}  // namespace vlm
