// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/velmortev_command.h"

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "label/label_name.h"
#include "lib/shown_text.h"
#include "lib/standard_streams.h"
#include "scan/scan.h"
#include "tevscan/tevscan_command.h"
#include "velmortev/check.h"
#include "velmortev/json_text.h"
#include "velmortev/managers.h"
#include "velmortev/pass_record.h"
#include "velmortev/plan.h"

namespace vlm {

namespace {

const char main_usage[] =
    "Usage: velmortev [options] <verb> [arguments]\n"
    "Verbs:\n"
    "  list                          the labelled devices, their nodes, stray nodes\n"
    "  show <label>|<device>         one labelled device\n"
    "  create <device> <label> [--replace] [--wipe-signatures]\n"
    "                                label a device and make its nodes\n"
    "  delete <label> [--device <device>]\n"
    "                                remove the nodes, then the label\n"
    "  rename <old> <new>            relabel a device; its nodes follow\n"
    "  scan [--dry-run]              one tevscan pass on every manager\n"
    "  config                        the effective settings and where they were set\n"
    "  restore <backup> [<device>]   write a saved region back\n"
    "  check                         health as a monitoring plugin: status 0-3\n"
    "  metrics [--textfile <dir>]    health as Prometheus metrics\n"
    "Options:\n"
    "  -m, --manager <path>  a manager to work on (repeatable)\n"
    "  -o json               one JSON document on standard output\n"
    "  -n, --dry-run         print the plan, write nothing\n"
    "  -y, --yes             do not ask before a write\n"
    "  -h, --help            this text; after a verb, the verb's usage\n"
    "  -V, --version         the version\n";

// Long options without a letter of their own.
enum : int { opt_replace = 256, opt_wipe, opt_device, opt_textfile };

// What a verb accepts beside -m, -o, -y and -h.
enum verb_flags : unsigned {
    takes_dry_run = 1,
    takes_replace = 2,
    takes_wipe = 4,
    takes_device = 8,
    takes_textfile = 16,
};

struct verb_entry {
    const char* name;
    const char* usage;
    unsigned flags;
    int least;  // operands after the verb
    int most;
    const char* missing;  // the message for too few operands
};

constexpr verb_entry verbs[] = {
    {"list", "Usage: velmortev list [-m <manager> ...] [-o json]\n", 0, 0, 0, ""},
    {"show", "Usage: velmortev show [-m <manager> ...] [-o json] <label>|<device>\n", 0, 1, 1,
     "You must specify a label or a device\n"},
    {"create",
     "Usage: velmortev create [-m <manager> ...] [-o json] [-n] [-y] [--replace]\n"
     "                        [--wipe-signatures] <device> <label>\n",
     takes_dry_run | takes_replace | takes_wipe, 2, 2, "You must specify a device and a label\n"},
    {"delete",
     "Usage: velmortev delete [-m <manager> ...] [-o json] [-n] [-y] [--device <device>] <label>\n",
     takes_dry_run | takes_device, 1, 1, "You must specify a label\n"},
    {"rename", "Usage: velmortev rename [-m <manager> ...] [-o json] [-n] [-y] <old> <new>\n",
     takes_dry_run, 2, 2, "You must specify the old and the new label\n"},
    {"scan", "Usage: velmortev scan [-m <manager> ...] [-o json] [-n]\n", takes_dry_run, 0, 0, ""},
    {"config", "Usage: velmortev config [-o json]\n", 0, 0, 0, ""},
    {"restore", "Usage: velmortev restore [-o json] [-n] [-y] <backup> [<device>]\n",
     takes_dry_run, 1, 2, "You must specify a backup\n"},
    {"check", "Usage: velmortev check [-m <manager> ...] [-o json]\n", 0, 0, 0, ""},
    {"metrics", "Usage: velmortev metrics [-m <manager> ...] [--textfile <dir>]\n",
     takes_textfile, 0, 0, ""},
    {"record-pass", "Usage: velmortev record-pass <instance> <begin-file>\n", 0, 2, 2,
     "You must specify an instance and a begin file\n"},
};

const verb_entry* find_verb(const char* name) {
    for (const verb_entry& verb : verbs)
        if (std::strcmp(verb.name, name) == 0)
            return &verb;
    return nullptr;
}

constexpr option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"manager", required_argument, nullptr, 'm'},
    {"output", required_argument, nullptr, 'o'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"yes", no_argument, nullptr, 'y'},
    {"replace", no_argument, nullptr, opt_replace},
    {"wipe-signatures", no_argument, nullptr, opt_wipe},
    {"device", required_argument, nullptr, opt_device},
    {"textfile", required_argument, nullptr, opt_textfile},
    {nullptr, 0, nullptr, 0},
};

struct parsed_line {
    front_run run;
    bool help = false;
    bool version = false;
    const char* output = nullptr;
    std::vector<char*> operands;
};

// Reads every option wherever it stands; the verb is the first operand.
void read_options(int argc, char** argv, parsed_line& line) {
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "-:hVm:o:ny", long_options, nullptr)) != -1) {
        switch (c) {
        case 1:
            line.operands.push_back(optarg);
            break;
        case 'h':
            line.help = true;
            break;
        case 'V':
            line.version = true;
            break;
        case 'm':
            line.run.given_managers.push_back(optarg);
            break;
        case 'o':
            line.output = optarg;
            break;
        case 'n':
            line.run.dry_run = true;
            break;
        case 'y':
            line.run.yes = true;
            break;
        case opt_replace:
            line.run.replace = true;
            break;
        case opt_wipe:
            line.run.wipe = true;
            break;
        case opt_device:
            line.run.device = optarg;
            break;
        case opt_textfile:
            line.run.textfile = optarg;
            break;
        case ':':
            if (optopt)
                print_usage(-EINVAL, "Option '-%c' requires an argument\n", optopt);
            print_usage(-EINVAL, "Option '%s' requires an argument\n", argv[optind - 1]);
        default:
            if (optopt)
                print_usage(-EINVAL, "Invalid option: '-%c'\n", optopt);
            print_usage(-EINVAL, "Invalid option: '%s'\n", argv[optind - 1]);
        }
    }
}

// Refuses what the verb does not take, and the wrong number of operands.
void check_line(const verb_entry& verb, const parsed_line& line) {
    struct flag_use {
        bool given;
        unsigned flag;
        const char* name;
    };
    const flag_use uses[] = {
        {line.run.dry_run, takes_dry_run, "--dry-run"},
        {line.run.replace, takes_replace, "--replace"},
        {line.run.wipe, takes_wipe, "--wipe-signatures"},
        {line.run.device != nullptr, takes_device, "--device"},
        {line.run.textfile != nullptr, takes_textfile, "--textfile"},
    };
    for (const flag_use& use : uses)
        if (use.given && !(verb.flags & use.flag))
            print_usage(-EINVAL, "Option '%s' is not one of %s\n", use.name, verb.name);
    if (line.output && std::strcmp(line.output, "json") != 0)
        print_usage(-EINVAL, "Unknown output format \"%s\"\n", line.output);
    // A pass's output is tevscan's own; only its plan has a JSON form.
    if (line.output && !line.run.dry_run && std::strcmp(verb.name, "scan") == 0)
        print_usage(-EINVAL, "Option '-o json' needs '--dry-run' with scan\n");
    int count = static_cast<int>(line.operands.size()) - 1;
    if (count < verb.least)
        print_usage(-EINVAL, "%s", verb.missing);
    if (count > verb.most)
        print_usage(-EINVAL, "Too many arguments\n");
}

// Labels on the command line follow the kit's rules (folded to upper case
// in place) before anything is looked at.
void check_labels(std::string_view verb, const std::vector<char*>& operands) {
    if (verb == "create")
        validate_label(operands[2]);
    if (verb == "delete" || verb == "rename" ||
        (verb == "show" && !std::strchr(operands[1], '/')))
        validate_label(operands[1]);
    if (verb == "rename")
        validate_label(operands[2]);
}

int load_settings(front_run& run) {
    std::string problem;
    int rc = load_config(config_dir(), run.config, problem);
    if (rc < 0)
        error("%s\n", problem.c_str());
    return rc;
}

int find_managers(front_run& run) {
    std::string problem;
    int rc = choose_managers(run.given_managers, run.config.managers.values,
                             run.mountinfo.c_str(), run.managers, problem);
    if (rc < 0)
        error("%s\n", problem.c_str());
    return rc;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

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

std::string shown(const std::string& text) {
    char buffer[shown_size(label_max)];
    return show_into(buffer, text);
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

// The other devices that carry the row's label: a clone, or a disk that
// was labelled twice.
std::vector<std::string> duplicates_of(const device_row& row, const inventory& inv) {
    std::vector<std::string> out;
    if (!row.labelled)
        return out;
    for (const device_row& other : inv.rows)
        if (other.labelled && other.label == row.label && !same_device(other, row))
            out.push_back(other.path);
    return out;
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

void print_rows(const front_run& run, const std::vector<const device_row*>& rows,
                const inventory& inv, nlohmann::json& doc) {
    doc["devices"] = nlohmann::json::array();
    for (const device_row* row : rows) {
        if (shown_with_its_map(*row, inv))
            continue;
        if (run.json)
            doc["devices"].push_back(row_json(*row, inv));
        else
            print_row(*row, inv);
    }
}

int list_verb(front_run& run) {
    inventory inv;
    int rc = run_inventory(run, true, inv);
    if (rc < 0)
        return rc;
    std::vector<const device_row*> labelled;
    for (const device_row& row : inv.rows)
        if (row.labelled && !row.excluded)
            labelled.push_back(&row);
    nlohmann::json doc = versioned();
    print_rows(run, labelled, inv, doc);
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
    nlohmann::json doc = versioned();
    print_rows(run, found, inv, doc);
    if (run.json)
        put_json(doc);
    return 0;
}

// tevscan beside this program, where the package puts both; else PATH's.
std::string tevscan_path() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "tevscan";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "tevscan";
}

std::vector<std::string> tevscan_arguments(const front_run& run, const std::string& manager) {
    std::vector<std::string> args = {"tevscan", "-l", manager};
    for (const std::string& pattern : run.config.scan_order.values)
        args.insert(args.end(), {"-s", pattern});
    for (const std::string& pattern : run.config.scan_exclude.values)
        args.insert(args.end(), {"-x", pattern});
    return args;
}

[[noreturn]] void exec_tevscan(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (program.find('/') != std::string::npos)
        execv(program.c_str(), argv.data());
    else
        execvp(program.c_str(), argv.data());
    int err = errno;
    error("Unable to run %s: %s\n", program.c_str(), std::strerror(err));
    _exit(finish_stdout(-err, progname) & 0xff);
}

// One pass per manager: the last one replaces this process, so that its
// output and status are tevscan's; earlier ones are waited for, and the
// first that fails ends the run with its status.
int scan_pass(const front_run& run) {
    std::string program = tevscan_path();
    flush_stdout();
    for (size_t i = 0; i + 1 < run.managers.size(); i++) {
        pid_t child = fork();
        if (child < 0)
            return -errno;
        if (child == 0)
            exec_tevscan(program, tevscan_arguments(run, run.managers[i]));
        int status = 0;
        while (waitpid(child, &status, 0) < 0)
            if (errno != EINTR)
                return -errno;
        if (!WIFEXITED(status))
            return -EINTR;
        if (WEXITSTATUS(status) != 0)
            return static_cast<int8_t>(WEXITSTATUS(status));
    }
    exec_tevscan(program, tevscan_arguments(run, run.managers.back()));
}

// What the pass would do, asked of tevtool as the pass asks it, with no
// reread, delete or create.
int scan_plan(const front_run& run) {
    signal(SIGCHLD, SIG_DFL);
    nlohmann::json doc = versioned();
    doc["verb"] = "scan";
    doc["dry_run"] = true;
    doc["steps"] = nlohmann::json::array();
    auto say = [&](const char* action, const std::string& manager, const std::string& label,
                   const std::string& device) {
        std::string text = std::string("Would ") + (action[0] == 'r' ? "remove" : "create") +
                           " node " + manager + "/disks/" + shown(label) +
                           (device.empty() ? "" : " for " + device);
        if (!run.json) {
            std::printf("%s\n", text.c_str());
            return;
        }
        nlohmann::json step = {{"action", action}, {"manager", manager}, {"text", text}};
        put_label(step, label);
        if (!device.empty())
            step["device"] = device;
        doc["steps"].push_back(step);
    };
    pattern_rings rings;
    for (const std::string& text : run.config.scan_order.values)
        if (!add_pattern(&rings.order, text.c_str()))
            return -ENOMEM;
    for (const std::string& text : run.config.scan_exclude.values)
        if (!add_pattern(&rings.exclude, text.c_str()))
            return -ENOMEM;
    if (!add_pattern(&rings.order, ""))
        return -ENOMEM;
    for (const std::string& manager : run.managers) {
        std::string dir_path = manager + "/disks";
        unique_dir dir(opendir(dir_path.c_str()));
        while (dir) {
            dirent* entry = readdir(dir.get());
            if (!entry)
                break;
            std::string name = entry->d_name;
            if (name != "." && name != ".." && disk_is_invalid(manager.c_str(), name.c_str()))
                say("remove-node", manager, name, "");
        }

        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.order))
            empty_bucket(pattern);
        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.exclude))
            empty_bucket(pattern);
        scan_setup setup{&rings.order, &rings.exclude, nullptr, error};
        int rc = scan_partitions(setup);
        if (rc < 0)
            return rc;
        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.order)) {
            for (scan_device* device : ring_records<scan_device>(&pattern->bucket)) {
                malloc_ptr<char> label;
                if (query_marked_label(manager.c_str(), device->path, &label) == 0)
                    say("create-node", manager, label.get(), device->path);
            }
        }
    }
    if (run.json)
        put_json(doc);
    return 0;
}

int run_verb(const verb_entry& verb, front_run& run, const std::vector<char*>& operands) {
    int rc = load_settings(run);
    if (rc < 0)
        return rc;
    std::string_view name = verb.name;
    if (name == "config")
        return config_verb(run);
    if (name == "restore")
        return restore_verb(run, operands[1], operands.size() > 2 ? operands[2] : nullptr);
    if (name == "check")
        return check_verb(run);
    if (name == "metrics")
        return metrics_verb(run, run.textfile);
    if (name == "record-pass")
        return record_pass_verb(run, operands[1], operands[2]);
    if ((rc = find_managers(run)) < 0)
        return rc;
    if (name == "list")
        return list_verb(run);
    if (name == "show")
        return show_verb(run, operands[1]);
    if (name == "create")
        return create_verb(run, operands[1], operands[2]);
    if (name == "delete")
        return delete_verb(run, operands[1]);
    if (name == "rename")
        return rename_verb(run, operands[1], operands[2]);
    return run.dry_run ? scan_plan(run) : scan_pass(run);
}

}  // namespace

int velmortev_command(int argc, char** argv) {
    progname = "velmortev";
    usage_text = main_usage;
    parsed_line line;
    read_options(argc, argv, line);
    const verb_entry* verb = line.operands.empty() ? nullptr : find_verb(line.operands[0]);
    if (verb)
        usage_text = verb->usage;
    if (line.help)
        print_usage(0);
    if (line.version)
        print_version();
    if (line.operands.empty())
        print_usage(-EINVAL, "You must specify a verb\n");
    if (!verb)
        print_usage(-EINVAL, "Unknown verb \"%s\"\n", line.operands[0]);
    check_line(*verb, line);
    check_labels(verb->name, line.operands);
    line.run.verb = verb->name;
    line.run.json = line.output != nullptr;
    return run_verb(*verb, line.run, line.operands);
}

}  // namespace vlm
