// SPDX-License-Identifier: GPL-2.0-or-later
#include "scan/scan_command.h"

#include <cerrno>
#include <cstdio>

#include "frame/frame.h"
#include "scan/scan.h"

namespace vlm {

scan_flags scan_run;
pattern_rings scan_patterns;
ring_node scan_dirs;

namespace {

const char scan_usage[] =
    "Usage: velmortev-scan-partitions [-o <pattern> ...] [-x <pattern>]\n"
    "       velmortev-scan-partitions -h\n"
    "       velmortev-scan-partitions -V\n";

// The outcome of an option whose pattern or directory was to be made: a
// failure is reported and stops the option loop, so that the run ends with
// -ENOMEM whatever follows.
option_result made_or_stop(bool made, const char* fmt, const char* arg) {
    if (made)
        return option_result::handled;
    error(fmt, arg);
    scan_run.out_of_memory = true;
    return option_result::stop;
}

// -l is accepted with its argument and has no effect: the option letters
// have always admitted it, and scripts may pass it along.
option_result handle_option(int letter, const char* arg) {
    switch (letter) {
    case 'o':
        if (!*arg)
            print_usage(-EINVAL, "Empty order pattern\n");
        return made_or_stop(add_pattern(&scan_patterns.order, arg),
                            "Unable to allocate order pattern \"%s\"\n", arg);
    case 'x':
        if (!*arg)
            print_usage(-EINVAL, "Empty exclude pattern\n");
        return made_or_stop(add_pattern(&scan_patterns.exclude, arg),
                            "Unable to allocate exclude pattern \"%s\"\n", arg);
    case 'D':
        if (!*arg)
            print_usage(-EINVAL, "Empty Scan-Directory list\n");
        return made_or_stop(add_scan_dir(&scan_dirs, arg),
                            "Unable to allocate scan dir  \"%s\"\n", arg);
    case 'l':
        return option_result::handled;
    }
    return option_result::unknown;
}

const option_table options = {":o:x:D:l:-:hV", {}, missing_argument::requires_argument,
                              handle_option};

int scan_and_list() {
    if (!add_pattern(&scan_patterns.order, "")) {
        error("Unable to create the default pattern\n");
        return -ENOMEM;
    }
    if (!dev_dir_given && !add_scan_dir(&scan_dirs, dev_scan_dir)) {
        error("Unable to create the default scan-directory\n");
        return -ENOMEM;
    }
    scan_setup setup{&scan_patterns.order, &scan_patterns.exclude, &scan_dirs, error};
    int rc = scan_partitions(setup);
    if (rc < 0)
        return rc;
    for (const scan_pattern* pattern : ring_records<const scan_pattern>(&scan_patterns.order)) {
        for (const scan_device* device : ring_records<const scan_device>(&pattern->bucket))
            std::printf("%s\n", device->path);
    }
    return 0;
}

}  // namespace

int scan_command(int argc, char** argv) {
    progname = "velmortev-scan-partitions";
    usage_text = scan_usage;
    ring_init(&scan_dirs);

    parse_options(argc, argv, options);
    int rc = scan_run.out_of_memory ? -ENOMEM : scan_and_list();

    scan_patterns.clear();
    free_scan_dirs(&scan_dirs);
    return rc;
}

}  // namespace vlm
