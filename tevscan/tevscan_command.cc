// SPDX-License-Identifier: GPL-2.0-or-later
#include "tevscan/tevscan_command.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "frame/frame.h"
#include "label/label_name.h"
#include "lib/blockdev.h"
#include "lib/manager.h"
#include "lib/owners.h"
#include "lib/shown_text.h"
#include "lib/standard_streams.h"
#include "scan/scan.h"
#include "tevscan/run_tool.h"

namespace vlm {

namespace {

const char tevscan_usage[] =
    "Usage: tevscan -l <manager> [-s <pattern> ...] [-x <pattern>]\n"
    "       tevscan -h\n"
    "       tevscan -V\n";

// Tries between the queries of a device that is not there yet: the first
// wait, its growth, and the wait at which the device is given up.
constexpr unsigned first_wait = 1;
constexpr unsigned wait_step = 2;
constexpr unsigned last_wait = 7;

// Writes "tevscan: " and the message to standard error.
__attribute__((format(printf, 1, 2))) void report(const char* fmt, ...) {
    std::fputs("tevscan: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

[[noreturn]] void exit_with_usage(int status) {
    std::fputs(tevscan_usage, status == 0 ? stdout : stderr);
    std::exit(finish_stdout(status, "tevscan"));
}

[[noreturn]] void exit_with_version() {
    std::fprintf(stderr, "tevscan version %s\n", kit_version);
    std::exit(finish_stdout(0, "tevscan"));
}

void add_option_pattern(ring_node* patterns, const char* text) {
    if (!*text)
        exit_with_usage(-EINVAL);
    if (!add_pattern(patterns, text))
        report("Error initializing pattern \"%s\"\n", text);
}

// Reads the options; returns the manager of the last -l, or null. Operands
// are ignored.
const char* parse_options(int argc, char** argv, pattern_rings* rings) {
    const char* manager = nullptr;
    opterr = 0;
    constexpr const char* optstring = ":hVl:s:x:";
    for (int c = getopt(argc, argv, optstring); c != -1; c = getopt(argc, argv, optstring)) {
        switch (c) {
        case 'h':
            exit_with_usage(0);
        case 'V':
            exit_with_version();
        case 'l':
            if (!*optarg)
                exit_with_usage(-EINVAL);
            manager = optarg;
            break;
        case 's':
            add_option_pattern(&rings->order, optarg);
            break;
        case 'x':
            add_option_pattern(&rings->exclude, optarg);
            break;
        case ':':
            report("Option '-%c' requires an argument\n", optopt);
            exit_with_usage(-EINVAL);
        default:
            report("Invalid option: '-%c'\n", optopt);
            exit_with_usage(-EINVAL);
        }
    }
    return manager;
}

// One finished run of tevtool.
struct tool_call {
    tool_outcome outcome;
    captured_text out;
    captured_text err;
};

// What is reported, naming the entry, device or label, when a run of the
// tool ends without an exit code.
struct ending_messages {
    const char* not_run;  // with the system's text for the error
    const char* killed;   // with the signal number
    const char* unknown;
};

constexpr ending_messages disk_query_says = {
    "Error running tevtool on disk \"%s\": %s\n",
    "tevtool query of disk \"%s\" killed by signal %d\n",
    "Unknown error running tevtool on disk \"%s\"\n"};
constexpr ending_messages delete_says = {
    "Error running tevtool on disk \"%s\": %s\n",
    "tevtool delete of disk \"%s\" killed by signal %d\n",
    "Unknown error running tevtool on disk \"%s\"\n"};
constexpr ending_messages device_query_says = {
    "Error running tevtool on device \"%s\": %s\n",
    "tevtool query of device \"%s\" killed by signal %d\n",
    "Unknown error running tevtool on device \"%s\"\n"};
constexpr ending_messages create_says = {
    "Error running tevtool to create disk \"%s\": %s\n",
    "tevtool creation of disk \"%s\" killed by signal %d\n",
    "Unknown error running tevtool on disk \"%s\"\n"};

// Runs the tool. Returns true when it ended with an exit code (the
// outcome's value); otherwise reports how it ended and returns false.
bool run_to_exit(const char** argv, const ending_messages& says, const char* subject,
                 tool_call* call) {
    // What was printed so far is written out before the tool runs: in a
    // combined log it then stands before the messages that follow it, and it
    // survives when tevscan is killed during the run.
    flush_stdout();
    call->outcome = decode_outcome(run_tool(argv, &call->out, &call->err));
    int value = call->outcome.value;
    switch (call->outcome.ending) {
    case tool_ending::not_run:
        report(says.not_run, subject, strerror(-value));
        return false;
    case tool_ending::killed:
        report(says.killed, subject, value);
        return false;
    case tool_ending::unknown:
        report(says.unknown, subject);
        return false;
    case tool_ending::exited:
        break;
    }
    return true;
}

// The captured texts are searched and printed as C strings: both stop at
// the first NUL byte the tool wrote.
const char* text_of(const captured_text& t) { return t.text ? t.text.get() : ""; }

bool contains(const captured_text& t, const char* needle) {
    return std::strstr(text_of(t), needle) != nullptr;
}

// The system's text for an exit code that holds a negated errno in 8 bits.
const char* exit_code_text(int code) { return strerror(-static_cast<int8_t>(code)); }

// Asks every whole disk in scan order to reread its partition table.
void reread_partition_tables(ring_node* order) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(order))
        for (scan_device* device : ring_records<scan_device>(&pattern->bucket))
            reread_if_whole_disk(device->path);
}

void empty_buckets(ring_node* patterns) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns))
        empty_bucket(pattern);
}

// Returns the outcome of the last delete, 0 when none was run, or the
// negated errno when the disks directory cannot be read.
int clean_invalid_disks(const char* manager) {
    size_t size = std::strlen(manager) + 8;
    malloc_ptr<char> dir_path(static_cast<char*>(std::malloc(size)));
    if (!dir_path)
        return -ENOMEM;
    std::snprintf(dir_path.get(), size, "%s/%s/%s", manager, "disks", "");
    unique_dir dir(opendir(dir_path.get()));
    if (!dir)
        return -errno;
    int result = 0;
    while (dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if (disk_is_invalid(manager, name))
            result = delete_disk(manager, name);
    }
    return result;
}

// The label is the text between the last two double quotes of the answer;
// the answer is cut at the last one. Returns 0, -ENOENT when a quote is
// missing, or -ENOMEM.
int take_label(char* answer, malloc_ptr<char>* label) {
    char* closing = std::strrchr(answer, '"');
    if (!closing)
        return -ENOENT;
    *closing = '\0';
    char* opening = std::strrchr(answer, '"');
    if (!opening)
        return -ENOENT;
    label->reset(strdup(opening + 1));
    return *label ? 0 : -ENOMEM;
}

// A label from the tool's answer names one entry of the disks directory and
// must fit the label field of a disk.
bool usable_label(std::string_view label) {
    if (label.empty() || label == "." || label == ".." || label.size() > label_max)
        return false;
    return std::none_of(label.begin(), label.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte >= 0x7f || byte == '/';
    });
}

void report_invalid_label(const char* label, const char* path) {
    report("Invalid label \"");
    put_shown(stderr, label);
    std::fprintf(stderr, "\" on device \"%s\"\n", path);
}

// The create gets the label as the tool gave it; messages show it escaped.
void create_disk(const char* manager, const char* label, const char* path) {
    if (!usable_label(label)) {
        report_invalid_label(label, path);
        return;
    }
    char shown_buffer[shown_size(label_max)];
    const char* shown = show_into(shown_buffer, label);
    std::printf("Instantating disk \"%s\"\n", shown);
    const char* argv[] = {nullptr, "-C", "-l",    manager,   "-n",
                          label,   "-s", path,    "-a",      "mark=no", nullptr};
    tool_call call;
    if (!run_to_exit(argv, create_says, shown, &call))
        return;
    // An existing node means the disk is there already.
    int value = call.outcome.value;
    if (value != 0 && !contains(call.err, "File exists"))
        report("Unable to create disk \"%s\": %s\n", shown, exit_code_text(value));
}

void instantiate_marked_disks(const char* manager, ring_node* order) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(order))
        for (scan_device* device : ring_records<scan_device>(&pattern->bucket))
            instantiate_if_marked(manager, device->path);
}

// The three phases, after the options.
int run_pass(const char* manager, pattern_rings* rings) {
    if (!add_pattern(&rings->order, "")) {
        report("Unable to create the default pattern\n");
        return -ENOMEM;
    }
    if (!manager) {
        std::fputs("You must specify a manager.\n", stderr);
        std::fputs(tevscan_usage, stderr);
        return -EINVAL;
    }
    int rc = check_manager(manager);
    if (rc < 0) {
        std::fprintf(stderr, "Error opening manager: %s\n", strerror(-rc));
        return rc;
    }

    scan_setup setup{&rings->order, &rings->exclude, nullptr, report};
    rc = scan_partitions(setup);
    if (rc != 0)
        return rc;
    reread_partition_tables(&rings->order);
    empty_buckets(&rings->order);
    empty_buckets(&rings->exclude);

    rc = clean_invalid_disks(manager);
    if (rc != 0)
        return rc;

    // The reread may have changed the partitions: scan them afresh.
    rc = scan_partitions(setup);
    if (rc != 0)
        return rc;
    instantiate_marked_disks(manager, &rings->order);
    return 0;
}

}  // namespace

bool disk_is_invalid(const char* manager, const char* name) {
    const char* argv[] = {nullptr, "-I", "-l", manager, "-n", name, nullptr};
    tool_call call;
    if (!run_to_exit(argv, disk_query_says, name, &call))
        return false;
    int value = call.outcome.value;
    if (value != 0) {
        if (contains(call.err, "Unable to") && !contains(call.err, "No such device") &&
            !contains(call.err, "Invalid argument")) {
            std::fprintf(stderr, "Error on %s (%d): %s\n", name, value, text_of(call.err));
            return false;
        }
        return true;
    }
    if (contains(call.out, "valid TEV disk"))
        return false;
    std::printf("Output on %s: %s\n", name, text_of(call.out));
    return true;
}


int delete_disk(const char* manager, const char* name) {
    std::printf("Cleaning disk \"%s\"\n", name);
    const char* argv[] = {nullptr, "-D", "-l", manager, "-n", name, nullptr};
    tool_call call;
    if (!run_to_exit(argv, delete_says, name, &call))
        return call.outcome.ending == tool_ending::killed ? -EINTR : call.outcome.value;
    int value = call.outcome.value;
    if (value != 0)
        std::fprintf(stderr, "Unable to delete invalid disk \"%s\": %s\n", name,
                     exit_code_text(value));
    return value;
}

int query_marked_label(const char* manager, const char* path, malloc_ptr<char>* label) {
    const char* argv[] = {nullptr, "-I", "-l", manager, "-n", path, "-a", "label", nullptr};
    for (unsigned wait = first_wait;; wait += wait_step) {
        tool_call call;
        if (!run_to_exit(argv, device_query_says, path, &call))
            return -ENOENT;
        int value = call.outcome.value;
        if (value != 0) {
            if (contains(call.err, "not marked"))
                return -ENOENT;
            if (contains(call.err, "No such")) {
                if (wait >= last_wait)
                    return -ENOENT;
                sleep(wait);
                continue;
            }
            if (!contains(call.err, "Invalid argument"))
                report("Error on %s (%d): %s\n", path, value, text_of(call.err));
            return -ENOENT;
        }
        if (!contains(call.out, "is marked")) {
            std::printf("Output on %s: %s\n", path, text_of(call.out));
            return -ENOENT;
        }
        int rc = take_label(call.out.text.get(), label);
        if (rc == -ENOMEM)
            report("Unable to allocate the label of device \"%s\"\n", path);
        return rc;
    }
}

void instantiate_if_marked(const char* manager, const char* path) {
    malloc_ptr<char> label;
    if (query_marked_label(manager, path, &label) == 0)
        create_disk(manager, label.get(), path);
}

int tevscan_command(int argc, char** argv) {
    // An ignored SIGCHLD, handed down by the parent, would make the kernel
    // reap the tool's process before tevscan could wait for it.
    signal(SIGCHLD, SIG_DFL);
    pattern_rings rings;
    const char* manager = parse_options(argc, argv, &rings);
    return run_pass(manager, &rings);
}

}  // namespace vlm
