// SPDX-License-Identifier: GPL-2.0-or-later
// The driver table as the kernel's /proc/devices may hold it: the kit's
// lists against a model read the way the table has always been read, and
// every lookup against the model's answer.
#include <cstring>
#include <string>
#include <vector>

#include "candidate/drivers.h"
#include "harness.h"

using namespace vlm;

namespace {

struct model_entry {
    std::string name;
    unsigned major;
};

// Entries in file order, per section.
void model(const std::string& table, std::vector<model_entry>* block,
           std::vector<model_entry>* chars) {
    std::string copy = table;
    FILE* f = fmemopen(copy.data(), copy.size(), "r");
    if (!f)
        return;
    char line[4097];
    std::vector<model_entry>* current = nullptr;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Character devices:", 18) == 0) {
            current = chars;
            continue;
        }
        if (std::strncmp(line, "Block devices:", 14) == 0) {
            current = block;
            continue;
        }
        unsigned major = 0;
        char name[100] = "";
        if (std::sscanf(line, "%u %99[^ \t\n]", &major, name) == 2 && current)
            current->push_back({name, major});
    }
    std::fclose(f);
}

// The list holds the section in reverse file order.
void require_list(const driver_entry* list, const std::vector<model_entry>& section) {
    for (size_t i = section.size(); i-- > 0; list = list->next) {
        fuzz::require(list != nullptr, "entry missing");
        fuzz::require(list->major == section[i].major && list->name == section[i].name,
                      "entry differs", section[i].name);
    }
    fuzz::require(list == nullptr, "entry too many");
}

// The model's answer for a lookup: the last line of the section that lists
// the number.
const char* model_lookup(const std::vector<model_entry>& section, unsigned major) {
    for (size_t i = section.size(); i-- > 0;)
        if (section[i].major == major)
            return section[i].name.c_str();
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string table(reinterpret_cast<const char*>(data), size);
    if (table.empty())
        return 0;
    fuzz::memory_file file(table);
    driver_table_path = file.path();
    fuzz::require(load_driver_table() == 0, "loading failed");

    std::vector<model_entry> block, chars;
    model(table, &block, &chars);
    require_list(block_drivers, block);
    require_list(char_drivers, chars);
    for (const model_entry& e : block) {
        const char* found = block_driver_name(e.major);
        fuzz::require(found && std::strcmp(found, model_lookup(block, e.major)) == 0,
                      "block lookup", e.name);
    }
    for (const model_entry& e : chars) {
        const char* found = char_driver_name(e.major);
        fuzz::require(found && std::strcmp(found, model_lookup(chars, e.major)) == 0,
                      "character lookup", e.name);
    }
    drop_driver_table();
    fuzz::require(!block_drivers && !char_drivers && !driver_table_loaded, "table not dropped");
    return 0;
}
