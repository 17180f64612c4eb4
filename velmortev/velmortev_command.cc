// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/velmortev_command.h"

#include <getopt.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frame/frame.h"
#include "label/label_name.h"
#include "velmortev/check.h"
#include "velmortev/listing.h"
#include "velmortev/managers.h"
#include "velmortev/memory.h"
#include "velmortev/pass.h"
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
    "  scan [--dry-run] [--assume-label <device>=<label> ...]\n"
    "                                one tevscan pass on every manager\n"
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
enum : int { opt_replace = 256, opt_wipe, opt_device, opt_textfile, opt_assume };

// What a verb accepts beside -m, -o, -y and -h.
enum verb_flags : unsigned {
    takes_dry_run = 1,
    takes_replace = 2,
    takes_wipe = 4,
    takes_device = 8,
    takes_textfile = 16,
    takes_assume = 32,
    // A monitoring plugin's statuses (0-3): memory that runs short is
    // UNKNOWN, not -ENOMEM.
    plugin_status = 64,
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
    {"scan",
     "Usage: velmortev scan [-m <manager> ...] [-o json] [-n]\n"
     "                      [--assume-label <device>=<label> ...]\n",
     takes_dry_run | takes_assume, 0, 0, ""},
    {"config", "Usage: velmortev config [-o json]\n", 0, 0, 0, ""},
    {"restore", "Usage: velmortev restore [-o json] [-n] [-y] <backup> [<device>]\n",
     takes_dry_run, 1, 2, "You must specify a backup\n"},
    {"check", "Usage: velmortev check [-m <manager> ...] [-o json]\n", plugin_status, 0, 0, ""},
    {"metrics", "Usage: velmortev metrics [-m <manager> ...] [--textfile <dir>]\n",
     takes_textfile, 0, 0, ""},
    {"record-pass", "Usage: velmortev record-pass <instance> <begin-file>\n", 0, 2, 2,
     "You must specify an instance and a begin file\n"},
};

constexpr int unknown_status = static_cast<int>(severity::unknown);

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
    {"assume-label", required_argument, nullptr, opt_assume},
    {nullptr, 0, nullptr, 0},
};

struct parsed_line {
    front_run run;
    bool help = false;
    bool version = false;
    const char* output = nullptr;
    std::vector<char*> operands;
    std::vector<char*> assumed;  // --assume-label, as given
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
        case opt_assume:
            line.assumed.push_back(optarg);
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
        {!line.assumed.empty(), takes_assume, "--assume-label"},
    };
    for (const flag_use& use : uses)
        if (use.given && !(verb.flags & use.flag))
            print_usage(-EINVAL, "Option '%s' is not one of %s\n", use.name, verb.name);
    if (line.output && std::strcmp(line.output, "json") != 0)
        print_usage(-EINVAL, "Unknown output format \"%s\"\n", line.output);
    // A pass's output is tevscan's own; only its plan has a JSON form.
    if (line.output && !line.run.dry_run && std::strcmp(verb.name, "scan") == 0)
        print_usage(-EINVAL, "Option '-o json' needs '--dry-run' with scan\n");
    // An assumed label only shapes a plan; a pass reads the devices.
    if (!line.assumed.empty() && !line.run.dry_run)
        print_usage(-EINVAL, "Option '--assume-label' needs '--dry-run'\n");
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

// DEVICE=LABEL, the label checked and folded like any other; an empty
// label stands for none.
void read_assumed_labels(const std::vector<char*>& given, front_run& run) {
    for (char* each : given) {
        char* equals = std::strrchr(each, '=');
        if (!equals || equals == each)
            print_usage(-EINVAL, "Option '--assume-label' needs <device>=<label>\n");
        *equals = '\0';
        validate_label(equals + 1);
        run.assumed_labels.push_back({each, equals + 1});
    }
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
    progname = front_program;
    usage_text = main_usage;
    memory_reserve memory;
    if (memory.status < 0) {
        error("Unable to allocate memory\n");
        return memory.status;
    }
    parsed_line line;
    read_options(argc, argv, line);
    const verb_entry* verb = line.operands.empty() ? nullptr : find_verb(line.operands[0]);
    if (verb)
        usage_text = verb->usage;
    if (verb && (verb->flags & plugin_status))
        end_shortage_with(unknown_status);
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
    read_assumed_labels(line.assumed, line.run);
    line.run.verb = verb->name;
    line.run.json = line.output != nullptr;
    int rc = run_verb(*verb, line.run, line.operands);
    // An allocation with an outcome of its own ends the verb with -ENOMEM;
    // the message is said here, once.
    if (rc == -ENOMEM)
        record_memory_shortage();
    int memory_rc = check_memory();
    // A plugin's verdict was weighed against the shortage before it was
    // given, and stands once given.
    if (verb->flags & plugin_status)
        return rc;
    return memory_rc < 0 ? memory_rc : rc;
}

}  // namespace vlm
