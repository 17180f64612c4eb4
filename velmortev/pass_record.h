// SPDX-License-Identifier: GPL-2.0-or-later
// What is kept of each tevscan@ pass: a record in the journal with a fixed
// MESSAGE_ID, a small state file per manager that the metrics read, and the
// metrics themselves in node_exporter's textfile directory.
#pragma once

#include <string>
#include <vector>

namespace vlm {

// The journal's MESSAGE_IDs, explained by the catalog file of the package.
inline constexpr const char* pass_succeeded_id = "5f0c3a9e7d2b4c61a8e4f2b7c90d1e36";
inline constexpr const char* pass_failed_id = "b41e6d2c98a74f0d9c3b5e1a7f2d8c40";
inline constexpr const char* finding_raised_id = "2d9a7c4e1b6f48d3a0e5c8b2f7146d9a";

// Where the state files live; a test points the program elsewhere through
// the variable, as it does the configuration.
inline constexpr const char* state_dir_default = "/var/lib/velmortev/passes";
inline constexpr const char* state_dir_variable = "VELMORTEV_STATE_DIR";
// The journal's native socket, likewise replaceable in a test.
inline constexpr const char* journal_socket_default = "/run/systemd/journal/socket";
inline constexpr const char* journal_socket_variable = "VELMORTEV_JOURNAL_SOCKET";

// The last pass of one manager, as the state file keeps it.
struct pass_facts {
    std::string manager;
    bool known = false;         // a pass was recorded
    double end = 0;             // seconds since the epoch
    double duration = 0;        // seconds
    int status = 0;             // the pass's exit status
    double last_success = 0;    // end of the last pass that succeeded, 0: none
};

std::string state_dir();
pass_facts read_pass_facts(const std::string& manager);

// Nodes removed and created between two listings of a disks/ directory.
struct node_changes {
    size_t removed = 0;
    size_t created = 0;
};
node_changes compare_listings(std::vector<std::string> before, std::vector<std::string> after);

// A unit's instance name back to the path, as systemd-escape --unescape
// --path does.
std::string systemd_unescape_path(const std::string& instance);

// One journal entry in the native protocol: FIELD=value pairs (no value
// holds a line end). 0 or a negated errno.
int send_journal(const std::vector<std::pair<std::string, std::string>>& fields);

struct front_run;
// The hidden verb of tevscan-event end: INSTANCE's pass, begun as
// BEGIN_FILE (its start time, then the disks/ names) recorded.
int record_pass_verb(front_run& run, const char* instance, const char* begin_file);

}  // namespace vlm
