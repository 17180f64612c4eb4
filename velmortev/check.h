// SPDX-License-Identifier: GPL-2.0-or-later
// The health of the whole setup in the forms monitoring systems read: a
// status of the monitoring-plugins kind (0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN) with one summary line and performance data, and findings with
// ids that stay the same from release to release.
#pragma once

#include <string>
#include <vector>

#include "velmortev/inventory.h"

namespace vlm {

enum class severity { ok = 0, warning = 1, critical = 2, unknown = 3 };

const char* severity_name(severity s);  // "OK", "WARNING", ...

struct finding {
    const char* id;  // "duplicate-label", ...
    severity level;
    std::vector<std::string> devices;
    std::vector<std::string> labels;  // raw bytes
    std::vector<std::string> paths;   // nodes, managers, units, programs
    std::string text;                 // one line, without the severity and id
};

// Every finding id with its severity, in the order they are reported.
struct finding_kind {
    const char* id;
    severity level;
};
inline constexpr finding_kind finding_kinds[] = {
    {"duplicate-label", severity::critical},   {"stale-node", severity::critical},
    {"manager-missing", severity::critical},   {"signature-conflict", severity::critical},
    {"last-pass-failed", severity::critical},  {"node-on-path", severity::warning},
    {"missing-node", severity::warning},       {"tool-missing", severity::warning},
    {"unit-disabled", severity::warning},      {"library-missing", severity::warning},
};

// What systemd says of one manager's tevscan@ instance.
struct unit_state {
    std::string manager;
    std::string enablement;  // of systemctl is-enabled; empty: not looked at
    std::string result;  // the service's Result, "success" when it did well
    int status = 0;      // ExecMainStatus of the last pass
};

// The facts beside the inventory that the findings need.
struct health_facts {
    std::vector<std::string> managers;          // looked at
    std::vector<std::string> missing_managers;  // configured or given, failing the check
    std::vector<std::string> missing_why;       // the check's error, one per missing
    bool systemd = true;                        // /run/systemd/system exists
    std::vector<unit_state> units;              // one per manager, when systemd runs
    std::string tool;                           // where tevtool was found, or empty
    bool library = true;                        // TEVLib loads
    std::string library_why;                    // the loader's error when not
};

// The findings of one look, in the order of finding_kinds.
std::vector<finding> find_problems(const inventory& inv, const health_facts& facts);

// The worst severity among the findings, ok when there are none.
severity worst(const std::vector<finding>& findings);

// The labelled devices as a monitor counts them: a multipath map once.
size_t labelled_disks(const inventory& inv);

// A path as systemd-escape --path makes it a unit's instance name.
std::string systemd_escape_path(const std::string& path);

// An exit status of a kit program (a negated errno as a byte) as
// "EROFS (Read-only file system)"; "0" and plain numbers stay numbers.
std::string status_text(int status);

// Where tevtool is found on systemd's default PATH for services, or empty.
std::string find_tool_on_service_path();

// 0 when TEVLib loads as the discovery program would load it, else
// -ENOENT with the loader's error in WHY.
int tevlib_loadable(std::string& why);

// The manager's tevscan@ instance, asked of systemctl: the last pass's
// result always, whether it is enabled only for a CONFIGURED manager.
unit_state read_unit_state(const std::string& manager, bool configured);

// Runs ARGS (found through PATH) with standard error discarded and its
// standard output in OUT. The exit code, or a negated errno.
int capture_output(const std::vector<std::string>& args, std::string& out);

struct front_run;

// The run's inventory with every fact beside it; a negated errno with WHY
// saying what kept the inventory from being taken.
int take_health(front_run& run, inventory& inv, health_facts& facts, std::string& why);

// The verbs check and metrics. check returns the plugin status (0-3);
// metrics writes to DIR/velmortev.prom, or standard output when DIR is null.
int check_verb(front_run& run);
int metrics_verb(front_run& run, const char* dir);

}  // namespace vlm
