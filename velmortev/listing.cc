// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/listing.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "velmortev/json_text.h"
#include "velmortev/memory.h"

namespace vlm {

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string dev_path(const std::string& name) { return "/dev/" + name; }

std::vector<std::string> dev_paths(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const std::string& name : names)
        out.push_back(dev_path(name));
    return out;
}

// A node's state in one word: "node" when it stands for this device.
std::string node_word(const node_state& node) {
    if (!node.present)
        return "missing";
    if (node.this_device)
        return "node";
    return "other(" + device_number(node.rdev) + ")";
}

// A path of a multipath map whose map is listed too is shown with the map.
bool shown_with_its_map(const device_row& row, const inventory& inv) {
    if (row.facts.map.empty() || row.name == row.facts.map)
        return false;
    for (const device_row& other : inv.rows)
        if (other.name == row.facts.map && !other.excluded)
            return true;
    return false;
}

// The other devices that carry the row's label: a clone, or a disk that
// was labelled twice. A path shown with its map is the map, not another
// device.
std::vector<std::string> duplicates_of(const device_row& row, const inventory& inv) {
    std::vector<std::string> out;
    if (!row.labelled)
        return out;
    for (const device_row& other : inv.rows)
        if (other.labelled && other.label == row.label && !same_device(other, row) &&
            !shown_with_its_map(other, inv))
            out.push_back(other.path);
    return out;
}

nlohmann::json row_json(const device_row& row, const inventory& inv) {
    nlohmann::json j = {{"device", row.path}, {"size", row.size}, {"labelled", row.labelled}};
    j["duplicates"] = duplicates_of(row, inv);
    put_label(j, row.label);
    j["wwid"] = row.facts.wwid.empty() ? nlohmann::json() : nlohmann::json(row.facts.wwid);
    j["serial"] = row.facts.serial.empty() ? nlohmann::json() : nlohmann::json(row.facts.serial);
    if (row.facts.map.empty())
        j["multipath"] = nullptr;
    else
        j["multipath"] = {{"map", dev_path(row.facts.map)},
                          {"name", row.facts.map_name},
                          {"paths", dev_paths(row.facts.map_paths)}};
    j["signatures"] = nlohmann::json::array();
    for (const found_signature& s : row.signatures)
        j["signatures"].push_back({{"type", s.type}, {"offset", s.offset}, {"length", s.length}});
    j["nodes"] = nlohmann::json::array();
    for (const node_state& node : row.nodes) {
        nlohmann::json n = {{"manager", node.manager},
                            {"present", node.present},
                            {"this_device", node.this_device}};
        n["stands_for"] = node.present ? nlohmann::json(device_number(node.rdev)) : nlohmann::json();
        j["nodes"].push_back(n);
    }
    return j;
}

void print_row(const device_row& row, const inventory& inv) {
    std::string id = !row.facts.wwid.empty() ? "wwid=" + row.facts.wwid
                     : !row.facts.serial.empty() ? "serial=" + row.facts.serial
                                                 : "id=-";
    std::string map = "map=-";
    if (!row.facts.map.empty()) {
        map = "map=" + dev_path(row.facts.map);
        if (!row.facts.map_name.empty())
            map += "(" + row.facts.map_name + ")";
        map += " paths=";
        for (size_t i = 0; i < row.facts.map_paths.size(); i++)
            map += (i ? "," : "") + dev_path(row.facts.map_paths[i]);
    }
    std::string signatures;
    for (const found_signature& s : row.signatures)
        signatures += (signatures.empty() ? "" : ",") + s.type + "@" + std::to_string(s.offset);
    std::printf("%s %s size=%llu %s %s signatures=%s", shown(row.label).c_str(), row.path.c_str(),
                static_cast<unsigned long long>(row.size), id.c_str(), map.c_str(),
                signatures.empty() ? "-" : signatures.c_str());
    for (const node_state& node : row.nodes)
        std::printf(" %s=%s", node.manager.c_str(), node_word(node).c_str());
    for (const std::string& other : duplicates_of(row, inv))
        std::printf(" duplicate-of=%s", other.c_str());
    std::printf("\n");
}

// The rows in text or JSON; FOLD leaves out the paths of a listed map.
void print_rows(const front_run& run, const std::vector<const device_row*>& rows,
                const inventory& inv, bool fold, nlohmann::json& doc) {
    doc["devices"] = nlohmann::json::array();
    for (const device_row* row : rows) {
        if (fold && shown_with_its_map(*row, inv))
            continue;
        if (run.json)
            doc["devices"].push_back(row_json(*row, inv));
        else
            print_row(*row, inv);
    }
}

}  // namespace

int config_verb(front_run& run) {
    nlohmann::json doc = versioned();
    for (const key_entry& key : setting_keys) {
        const setting& s = run.config.*key.field;
        std::string origin = s.file.empty() ? "default" : s.file + ":" + std::to_string(s.line);
        if (run.json) {
            nlohmann::json entry = {{"value", s.values}, {"origin", origin}};
            if (!s.file.empty()) {
                entry["file"] = s.file;
                entry["line"] = s.line;
            }
            doc["settings"][key.name] = entry;
        } else {
            std::printf("%s=\"%s\"\t# %s\n", key.name, joined(s.values).c_str(), origin.c_str());
        }
    }
    if (run.json)
        put_json(doc);
    return 0;
}

int list_verb(front_run& run) {
    inventory inv;
    int rc = run_inventory(run, true, inv);
    if (rc < 0)
        return rc;
    // A listing made while memory ran short is not shown.
    if ((rc = check_memory()) < 0)
        return rc;
    std::vector<const device_row*> labelled;
    for (const device_row& row : inv.rows)
        if (row.labelled && !row.excluded)
            labelled.push_back(&row);
    nlohmann::json doc = versioned();
    print_rows(run, labelled, inv, true, doc);
    doc["stray_nodes"] = nlohmann::json::array();
    for (const stray_node& stray : inv.strays) {
        std::string stands = stray.block ? device_number(stray.rdev) : "";
        if (run.json)
            doc["stray_nodes"].push_back(
                {{"manager", stray.manager},
                 {"name", shown(stray.name)},
                 {"stands_for", stray.block ? nlohmann::json(stands) : nlohmann::json()}});
        else
            std::printf("stray node %s/disks/%s stands for %s\n", stray.manager.c_str(),
                        shown(stray.name).c_str(), stray.block ? stands.c_str() : "no device");
    }
    doc["excluded"] = nlohmann::json::array();
    for (const device_row& row : inv.rows) {
        if (!row.excluded)
            continue;
        if (run.json)
            doc["excluded"].push_back(row.path);
        else
            std::printf("left out %s\n", row.path.c_str());
    }
    if (run.json)
        put_json(doc);
    return 0;
}

int show_verb(front_run& run, char* what) {
    inventory inv;
    int rc = run_inventory(run, false, inv);
    if (rc < 0)
        return rc;
    bool by_device = std::strchr(what, '/') != nullptr;
    struct stat st = {};
    if (by_device && stat(what, &st) < 0) {
        rc = -errno;
        error("Unable to query device \"%s\": %s\n", what, std::strerror(errno));
        return rc;
    }
    std::vector<const device_row*> found;
    for (device_row& row : inv.rows) {
        bool match = by_device ? row.rdev == st.st_rdev : row.labelled && row.label == what;
        if (!match)
            continue;
        row.probe_status = probe_signatures(row.path.c_str(), row.signatures);
        found.push_back(&row);
    }
    if (found.empty()) {
        error(by_device ? "Device \"%s\" is not in the partition table\n"
                        : "No device carries the label \"%s\"\n",
              what);
        return -ENOENT;
    }
    if ((rc = check_memory()) < 0)
        return rc;
    nlohmann::json doc = versioned();
    // A device asked for by name is shown even when it is a map's path.
    print_rows(run, found, inv, !by_device, doc);
    if (run.json)
        put_json(doc);
    return 0;
}

}  // namespace vlm
