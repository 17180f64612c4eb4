// SPDX-License-Identifier: GPL-2.0-or-later
// The front end's settings: /etc/velmortev/velmortev.conf, then the drop-ins
// conf.d/*.conf in byte order of their names, a later value replacing an
// earlier one. Lines are KEY=VALUE, the value optionally in double quotes,
// lists separated by blanks, '#' starting a comment line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vlm {

// Always this directory, whatever the install prefix: the shipped file and
// the administrator's drop-ins must be found by every build of the program.
inline constexpr const char* config_dir_default = "/etc/velmortev";
// A test points the program at a directory of its own through this variable.
inline constexpr const char* config_dir_variable = "VELMORTEV_CONFIG_DIR";
inline constexpr const char* backup_dir_default = "/var/lib/velmortev/backups";

// One key's effective value and where it was set (file empty: the default).
struct setting {
    std::vector<std::string> values;
    std::string file;
    unsigned line = 0;
};

struct settings {
    setting managers;
    setting scan_order;
    setting scan_exclude;
    setting backup_dir{{backup_dir_default}, {}, 0};
};

// The keys in the order `config` shows them.
struct key_entry {
    const char* name;
    setting settings::*field;
};
inline constexpr key_entry setting_keys[] = {
    {"MANAGERS", &settings::managers},
    {"SCAN_ORDER", &settings::scan_order},
    {"SCAN_EXCLUDE", &settings::scan_exclude},
    {"BACKUP_DIR", &settings::backup_dir},
};

// Applies the lines of one file's text to OUT. Returns 0, or -EINVAL with
// "FILE:LINE: what" in PROBLEM; OUT is then partly changed.
int parse_config_text(std::string_view text, const std::string& file, settings& out,
                      std::string& problem);

// Reads the main file and the drop-ins of DIR (missing ones count as empty).
// A file that root does not own or that group or others may write is
// refused. Returns 0 or a negated errno with PROBLEM saying which file.
int load_config(const std::string& dir, settings& out, std::string& problem);

// The directory the run reads: config_dir_default unless the variable is set.
std::string config_dir();

}  // namespace vlm
