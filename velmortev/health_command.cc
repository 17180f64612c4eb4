// SPDX-License-Identifier: GPL-2.0-or-later
// The verbs check and metrics: one look at the machine, shown as a
// monitoring plugin's status or as a Prometheus text file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "frame/frame.h"
#include "lib/manager.h"
#include "lib/owners.h"
#include "velmortev/check.h"
#include "velmortev/json_text.h"
#include "velmortev/managers.h"
#include "velmortev/memory.h"
#include "velmortev/plan.h"

namespace vlm {

namespace {

// The managers a look covers, as choose_managers finds them, except that a
// named one failing the manager check is a finding, not the end of the run.
int look_managers(front_run& run, health_facts& facts, std::string& why) {
    const auto& named = run.given_managers.empty() ? run.config.managers.values
                                                   : run.given_managers;
    for (const std::string& path : named) {
        int rc = check_manager(path.c_str());
        if (rc < 0) {
            facts.missing_managers.push_back(path);
            facts.missing_why.push_back(std::strerror(-rc));
        } else {
            facts.managers.push_back(path);
        }
    }
    if (named.empty()) {
        int rc = mounted_managers(run.mountinfo.c_str(), facts.managers);
        if (rc == 0 && facts.managers.empty())
            rc = -ENOENT;
        if (rc < 0) {
            why = "no mounted manager was found in " + run.mountinfo;
            return rc;
        }
    }
    run.managers = facts.managers;
    return 0;
}

bool configured(const front_run& run, const std::string& manager) {
    for (const std::string& path : run.config.managers.values)
        if (path == manager)
            return true;
    return false;
}

size_t count_of(const std::vector<finding>& findings, severity level) {
    size_t n = 0;
    for (const finding& f : findings)
        n += f.level == level;
    return n;
}

const char not_looked_at[] =
    "systemd is not running: unit-disabled and last-pass-failed were not looked at";

std::string summary_line(const inventory& inv, const std::vector<finding>& findings) {
    size_t disks = labelled_disks(inv);
    size_t critical = count_of(findings, severity::critical);
    size_t warning = count_of(findings, severity::warning);
    std::string text = std::to_string(disks) + " labelled disk" + (disks == 1 ? "" : "s") + ", ";
    if (findings.empty())
        text += "no findings";
    else
        text += std::to_string(findings.size()) + " finding" + (findings.size() == 1 ? "" : "s") +
                " (" + std::to_string(critical) + " critical, " + std::to_string(warning) +
                " warning)";
    auto perf = [](const char* name, size_t value) {
        return std::string(" ") + name + "=" + std::to_string(value) + ";;;0";
    };
    return text + " |" + perf("disks", disks) + perf("findings", findings.size()) +
           perf("critical", critical) + perf("warning", warning);
}

nlohmann::json finding_json(const finding& f) {
    nlohmann::json j = {{"id", f.id},       {"severity", severity_name(f.level)},
                        {"text", f.text},   {"devices", f.devices},
                        {"paths", f.paths}, {"labels", nlohmann::json::array()}};
    for (const std::string& label : f.labels) {
        nlohmann::json l = nlohmann::json::object();
        put_label(l, label);
        j["labels"].push_back(l);
    }
    return j;
}

int report_unknown(const front_run& run, const std::string& why) {
    if (run.json) {
        nlohmann::json doc = versioned();
        doc["status"] = "UNKNOWN";
        doc["exit_status"] = 3;
        doc["summary"] = why;
        doc["findings"] = nlohmann::json::array();
        put_json(doc);
    } else {
        std::printf("VELMORTEV UNKNOWN - %s\n", why.c_str());
    }
    return static_cast<int>(severity::unknown);
}

}  // namespace

int take_health(front_run& run, inventory& inv, health_facts& facts, std::string& why) {
    int rc = look_managers(run, facts, why);
    if (rc < 0)
        return rc;
    inventory_setup setup;
    setup.order = run.config.scan_order.values;
    setup.exclude = run.config.scan_exclude.values;
    setup.managers = run.managers;
    setup.sysfs_root = run.sysfs_root;
    rc = take_inventory(setup, inv);
    if (rc < 0) {
        why = std::string("Unable to read the partition table: ") + std::strerror(-rc);
        return rc;
    }
    struct stat st;
    facts.systemd = stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
    for (const std::string& manager : facts.managers)
        if (facts.systemd)
            facts.units.push_back(read_unit_state(manager, configured(run, manager)));
    facts.tool = find_tool_on_service_path();
    facts.library = tevlib_loadable(facts.library_why) == 0;
    return 0;
}

int check_verb(front_run& run) {
    inventory inv;
    health_facts facts;
    std::string why;
    if (take_health(run, inv, facts, why) < 0)
        return report_unknown(run, why);
    std::vector<finding> findings = find_problems(inv, facts);
    // Findings taken with memory short may be incomplete: not a verdict.
    if (check_memory() < 0)
        return report_unknown(run, "Unable to allocate memory");
    severity status = worst(findings);
    std::string summary = summary_line(inv, findings);
    if (run.json) {
        nlohmann::json doc = versioned();
        doc["status"] = severity_name(status);
        doc["exit_status"] = static_cast<int>(status);
        doc["summary"] = summary;
        doc["disks"] = labelled_disks(inv);
        doc["findings"] = nlohmann::json::array();
        for (const finding& f : findings)
            doc["findings"].push_back(finding_json(f));
        doc["not_looked_at"] = nlohmann::json::array();
        if (!facts.systemd)
            doc["not_looked_at"] = {"unit-disabled", "last-pass-failed"};
        put_json(doc);
        return static_cast<int>(status);
    }
    std::printf("VELMORTEV %s - %s\n", severity_name(status), summary.c_str());
    for (const finding& f : findings)
        std::printf("%s %s: %s\n", severity_name(f.level), f.id, f.text.c_str());
    if (!facts.systemd)
        std::printf("%s\n", not_looked_at);
    return static_cast<int>(status);
}

}  // namespace vlm
