// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "frame/frame.h"
#include "label/label.h"
#include "lib/manager.h"
#include "lib/owners.h"
#include "lib/shown_text.h"
#include "velmortev/json_text.h"
#include "velmortev/managers.h"
#include "velmortev/plan.h"

namespace vlm {

namespace {

std::string shown(const std::string& text) {
    char buffer[shown_size(label_max)];
    return show_into(buffer, text);
}

std::string listed(const std::vector<std::string>& words, const char* between) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : between) + word;
    return text;
}

// A path of a multipath map: the map, not the path, should have the node.
bool is_map_path(const device_row& row) {
    return !row.facts.map.empty() && row.name != row.facts.map;
}

void duplicate_labels(const inventory& inv, std::vector<finding>& out) {
    std::map<std::string, std::vector<const device_row*>> by_label;
    for (const device_row& row : inv.rows)
        if (row.labelled && !row.excluded)
            by_label[row.label].push_back(&row);
    for (const auto& [label, rows] : by_label) {
        std::vector<const device_row*> distinct;
        for (const device_row* row : rows) {
            bool seen = false;
            for (const device_row* other : distinct)
                seen = seen || same_device(*row, *other);
            if (!seen)
                distinct.push_back(row);
        }
        if (distinct.size() < 2)
            continue;
        finding f{"duplicate-label", severity::critical, {}, {label}, {}, {}};
        for (const device_row* row : distinct)
            f.devices.push_back(row->path);
        f.text = "label " + shown(label) + " is on " + listed(f.devices, " and ");
        out.push_back(std::move(f));
    }
}

// One node of a manager's disks/ directory and what it stands for.
struct seen_node {
    std::string manager;
    std::string name;
    bool block = true;
    dev_t rdev = 0;
};

std::vector<seen_node> all_nodes(const inventory& inv) {
    std::set<std::pair<std::string, std::string>> known;
    std::vector<seen_node> out;
    auto add = [&](const seen_node& node) {
        if (known.insert({node.manager, node.name}).second)
            out.push_back(node);
    };
    for (const device_row& row : inv.rows)
        for (const node_state& node : row.nodes)
            if (row.labelled && node.present)
                add({node.manager, row.label, node.rdev != 0, node.rdev});
    for (const stray_node& stray : inv.strays)
        add({stray.manager, stray.name, stray.block, stray.rdev});
    return out;
}

void node_findings(const inventory& inv, std::vector<finding>& stale,
                   std::vector<finding>& on_path) {
    std::map<dev_t, const device_row*> by_number;
    for (const device_row& row : inv.rows)
        by_number.emplace(row.rdev, &row);
    for (const seen_node& node : all_nodes(inv)) {
        std::string path = node.manager + "/disks/" + shown(node.name);
        auto it = node.block ? by_number.find(node.rdev) : by_number.end();
        const device_row* target = it == by_number.end() ? nullptr : it->second;
        if (target && target->labelled && target->label == node.name) {
            if (is_map_path(*target))
                on_path.push_back({"node-on-path", severity::warning, {target->path}, {node.name},
                                   {path},
                                   "node " + path + " stands for " + target->path +
                                       ", a path of the multipath map /dev/" +
                                       target->facts.map});
            continue;
        }
        std::string what = !node.block ? "is no block node"
                           : !target   ? "stands for " + device_number(node.rdev) +
                                           ", which is no device of the partition table"
                           : target->labelled
                               ? "stands for " + target->path + ", which carries the label " +
                                     shown(target->label)
                               : "stands for " + target->path + ", which carries no label";
        finding f{"stale-node", severity::critical, {}, {node.name}, {path}, "node " + path + " " + what};
        if (target)
            f.devices.push_back(target->path);
        stale.push_back(std::move(f));
    }
}

void signature_conflicts(const inventory& inv, std::vector<finding>& out) {
    for (const device_row& row : inv.rows) {
        if (!row.labelled || row.signatures.empty() || is_map_path(row))
            continue;
        std::vector<std::string> found;
        for (const found_signature& s : row.signatures)
            found.push_back(s.type + " at offset " + std::to_string(s.offset));
        out.push_back({"signature-conflict", severity::critical, {row.path}, {row.label}, {},
                       row.path + " labelled " + shown(row.label) + " also carries " +
                           listed(found, ", ")});
    }
}

void missing_nodes(const inventory& inv, std::vector<finding>& out) {
    for (const device_row& row : inv.rows) {
        if (!row.labelled || row.excluded || is_map_path(row) || !usable_node_name(row.label))
            continue;
        for (const node_state& node : row.nodes)
            if (!node.present)
                out.push_back({"missing-node", severity::warning, {row.path}, {row.label},
                               {node.manager + "/disks/" + row.label},
                               row.path + " labelled " + shown(row.label) + " has no node in " +
                                   node.manager});
    }
}

std::string unit_name(const std::string& manager) {
    return "tevscan@" + systemd_escape_path(manager) + ".service";
}

constexpr const char* service_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin";

}  // namespace

const char* severity_name(severity s) {
    switch (s) {
    case severity::ok: return "OK";
    case severity::warning: return "WARNING";
    case severity::critical: return "CRITICAL";
    case severity::unknown: return "UNKNOWN";
    }
    return "UNKNOWN";
}

std::vector<finding> find_problems(const inventory& inv, const health_facts& facts) {
    std::vector<finding> out, stale, on_path, failed, disabled;
    duplicate_labels(inv, out);
    node_findings(inv, stale, on_path);
    out.insert(out.end(), stale.begin(), stale.end());
    for (size_t i = 0; i < facts.missing_managers.size(); i++)
        out.push_back({"manager-missing", severity::critical, {}, {}, {facts.missing_managers[i]},
                       "manager " + facts.missing_managers[i] + ": " + facts.missing_why[i]});
    signature_conflicts(inv, out);
    for (const unit_state& unit : facts.units) {
        if (!facts.systemd)
            break;
        std::string name = unit_name(unit.manager);
        if (!unit.result.empty() && unit.result != "success")
            failed.push_back({"last-pass-failed", severity::critical, {}, {}, {unit.manager, name},
                              "the last pass of " + name + " failed (" + unit.result +
                                  "): status " + std::to_string(unit.status) + " " +
                                  status_text(unit.status)});
        if (!unit.enablement.empty() && unit.enablement != "enabled" &&
            unit.enablement != "enabled-runtime")
            disabled.push_back({"unit-disabled", severity::warning, {}, {}, {unit.manager, name},
                                name + " is not enabled (" + unit.enablement + ")"});
    }
    out.insert(out.end(), failed.begin(), failed.end());
    out.insert(out.end(), on_path.begin(), on_path.end());
    missing_nodes(inv, out);
    if (facts.tool.empty())
        out.push_back({"tool-missing", severity::warning, {}, {}, {"tevtool"},
                       std::string("tevtool is not on ") + service_path});
    out.insert(out.end(), disabled.begin(), disabled.end());
    if (!facts.library)
        out.push_back({"library-missing", severity::warning, {}, {}, {},
                       "TEVLib cannot be loaded: " + facts.library_why});
    return out;
}

severity worst(const std::vector<finding>& findings) {
    severity s = severity::ok;
    for (const finding& f : findings)
        if (f.level > s)
            s = f.level;
    return s;
}

size_t labelled_disks(const inventory& inv) {
    size_t count = 0;
    std::set<std::string> maps;
    for (const device_row& row : inv.rows) {
        if (!row.labelled || row.excluded)
            continue;
        if (!row.facts.map.empty() && !maps.insert(row.facts.map).second)
            continue;
        count++;
    }
    return count;
}

std::string systemd_escape_path(const std::string& path) {
    // Slashes at either end and doubled ones say nothing about the path.
    std::string trimmed;
    for (char c : path)
        if (c != '/' || (!trimmed.empty() && trimmed.back() != '/'))
            trimmed += c;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed.empty())
        return "-";
    std::string out;
    for (size_t i = 0; i < trimmed.size(); i++) {
        auto c = static_cast<unsigned char>(trimmed[i]);
        bool plain = std::isalnum(c) || c == ':' || c == '_' || (c == '.' && i > 0);
        if (c == '/') {
            out += '-';
        } else if (plain && c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string status_text(int status) {
    if (status <= 0 || status > 255)
        return std::to_string(status);
    int err = 256 - status;
    const char* name = strerrorname_np(err);
    if (!name)
        return std::to_string(status);
    return std::string(name) + " (" + std::strerror(err) + ")";
}

std::string find_tool_on_service_path() {
    std::string dirs = service_path;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/tevtool";
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

int tevlib_loadable(std::string& why) {
    // The discovery program's two places: the driver's fixed directory for
    // this word size, then the loader's search path.
    const char* places[] = {"/opt/velmor/extapi/64/tev/vlmr/1/libtev.so", "libtev.so"};
    for (const char* place : places) {
        if (void* handle = dlopen(place, RTLD_LAZY)) {
            dlclose(handle);
            return 0;
        }
        const char* text = dlerror();
        why = text ? text : "unknown error";
    }
    return -ENOENT;
}

int capture_output(const std::vector<std::string>& args, std::string& out) {
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) < 0)
        return -errno;
    unique_fd reader(pipes[0]), writer(pipes[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // An ignored SIGCHLD, handed down by an agent, would leave no child to
    // wait for and lose systemctl's answer.
    signal(SIGCHLD, SIG_DFL);
    pid_t child = fork();
    if (child < 0)
        return -errno;
    if (child == 0) {
        dup2(writer.get(), 1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    writer.reset();
    char buffer[4096];
    ssize_t n;
    while ((n = read(reader.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0)
            out.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -EINTR;
}

unit_state read_unit_state(const std::string& manager, bool configured) {
    unit_state unit;
    unit.manager = manager;
    std::string name = unit_name(manager), text;
    if (capture_output({"systemctl", "show", "-p", "Result", "-p", "ExecMainStatus", name},
                       text) == 0) {
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(at, end - at);
            if (line.rfind("Result=", 0) == 0)
                unit.result = line.substr(7);
            if (line.rfind("ExecMainStatus=", 0) == 0)
                unit.status = std::atoi(line.c_str() + 15);
            at = end + 1;
        }
    }
    if (configured) {
        std::string state;
        capture_output({"systemctl", "is-enabled", name}, state);
        while (!state.empty() && std::isspace(static_cast<unsigned char>(state.back())))
            state.pop_back();
        unit.enablement = state.empty() ? "unknown" : state;
    }
    return unit;
}

}  // namespace vlm
