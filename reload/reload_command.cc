// SPDX-License-Identifier: GPL-2.0-or-later
#include "reload/reload_command.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "lib/blockdev.h"

namespace vlm {

namespace {

const char reload_usage[] =
    "Usage: velmortev-reload-partitions < device_list\n"
    "       velmortev-reload-partitions -h\n"
    "       velmortev-reload-partitions -V\n";

// Every option ends the process, so no letter of its own is ever handled.
const option_table<no_letters> options = {":-:hV", {}, missing_argument::unexpected, nullptr};

// Each fgets gives at most 4095 characters of a line; a longer line arrives
// in pieces and each piece is taken as a path of its own.
int reload_partitions() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        reread_if_whole_disk(line);
    }
    return 0;
}

}  // namespace

int reload_command(int argc, char** argv) {
    progname = reload_program;
    usage_text = reload_usage;

    int index = parse_options(argc, argv, options);
    refuse_extra_operands(argc, index);

    return reload_partitions();
}

}  // namespace vlm
