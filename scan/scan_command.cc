// SPDX-License-Identifier: GPL-2.0-or-later
#include "scan/scan_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "scan/scan.h"

namespace vlm {

scan_flags scan_run;

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
        return made_or_stop(add_pattern(&scan_run.order_patterns, arg),
                            "Unable to allocate order pattern \"%s\"\n", arg);
    case 'x':
        if (!*arg)
            print_usage(-EINVAL, "Empty exclude pattern\n");
        return made_or_stop(add_pattern(&scan_run.exclude_patterns, arg),
                            "Unable to allocate exclude pattern \"%s\"\n", arg);
    case 'D':
        if (!*arg)
            print_usage(-EINVAL, "Empty Scan-Directory list\n");
        return made_or_stop(add_scan_dir(&scan_run.scan_dirs, arg),
                            "Unable to allocate scan dir  \"%s\"\n", arg);
    case 'l':
        return option_result::handled;
    }
    return option_result::unknown;
}

const option_table options = {":o:x:D:l:-:hV", {}, missing_argument::requires_argument,
                              handle_option};

// The listing's lines gathered into large writes to standard output: one
// call of the stream per 64 KiB instead of one per line, which even on a
// stream buffered as large costs a quarter more instructions of the whole
// scan of 100k lines (bench/scan). A failed write is kept by the stream for
// the program's last check of it.
struct listing_buffer {
    size_t used = 0;
    char bytes[64 * 1024];
};

void flush_listing(listing_buffer* out) {
    std::fwrite(out->bytes, 1, out->used, stdout);
    out->used = 0;
}

// Writes the text and a newline, as printf("%s\n", text) would.
void list_line(listing_buffer* out, const char* text, size_t length) {
    if (length + 1 > sizeof out->bytes - out->used) {
        flush_listing(out);
        if (length + 1 > sizeof out->bytes) {
            std::fwrite(text, 1, length, stdout);
            std::fputc('\n', stdout);
            return;
        }
    }
    std::memcpy(out->bytes + out->used, text, length);
    out->bytes[out->used + length] = '\n';
    out->used += length + 1;
}

void print_listing(const ring_node* order_patterns) {
    listing_buffer out;
    for (const scan_pattern* pattern : ring_records<const scan_pattern>(order_patterns)) {
        for (const scan_device* device : ring_records<const scan_device>(&pattern->bucket))
            list_line(&out, device->path, device->path_length);
    }
    flush_listing(&out);
}

int scan_and_list(scan_flags* run) {
    if (!add_pattern(&run->order_patterns, "")) {
        error("Unable to create the default pattern\n");
        return -ENOMEM;
    }
    if (!run->scan_dirs.dev_dir_given && !add_scan_dir(&run->scan_dirs, dev_scan_dir)) {
        error("Unable to create the default scan-directory\n");
        return -ENOMEM;
    }
    scan_setup setup{&run->order_patterns, &run->exclude_patterns, &run->scan_dirs, error};
    int rc = scan_partitions(setup);
    if (rc < 0)
        return rc;
    print_listing(&run->order_patterns);
    return 0;
}

}  // namespace

void free_scan_run(scan_flags* run) {
    if (!run->order_patterns.next)
        return;  // the run never began
    free_patterns(&run->order_patterns);
    free_patterns(&run->exclude_patterns);
    free_scan_dirs(&run->scan_dirs);
}

int scan_command(int argc, char** argv) {
    progname = "velmortev-scan-partitions";
    usage_text = scan_usage;
    ring_init(&scan_run.order_patterns);
    ring_init(&scan_run.exclude_patterns);
    scan_dir_ring_init(&scan_run.scan_dirs);

    parse_options(argc, argv, options);
    int rc = scan_run.out_of_memory ? -ENOMEM : scan_and_list(&scan_run);

    free_scan_run(&scan_run);
    return rc;
}

}  // namespace vlm
