// SPDX-License-Identifier: GPL-2.0-or-later
#include "disk/disk_command.h"

#include <cerrno>
#include <cstring>

#include "disk/disk.h"
#include "frame/frame.h"
#include "label/label_name.h"

namespace vlm {

namespace {

// The options of one run, kept by the command and handed down.
struct disk_flags {
    const char* manager = nullptr;  // the last -l, borrowed from the command line
};

const char instantiate_usage[] =
    "Usage: velmortev-instantiate-disk -l <manager> <device> <label>\n"
    "       velmortev-instantiate-disk -h\n"
    "       velmortev-instantiate-disk -V\n";
const char clean_usage[] =
    "Usage: velmortev-clean-disk -l <manager> <label>\n"
    "       velmortev-clean-disk -h\n"
    "       velmortev-clean-disk -V\n";

option_result handle_option(disk_flags& run, int letter, const char* arg) {
    if (letter != 'l')
        return option_result::unknown;
    if (arg[0] == '\0')
        print_usage(-EINVAL, "Argument to '-l' cannot be \"\"\n");
    run.manager = arg;
    return option_result::handled;
}

const option_table<disk_flags> options = {":hV-:l:", {}, missing_argument::requires_argument,
                                          handle_option};

// Says what went wrong in a node operation, naming the device or the label,
// and passes its status on. A node that did not open was removed again; a
// failed removal is told after the open.
int report(const disk_result& result, const char* device, const char* label) {
    switch (result.failed) {
    case disk_step::none:
        break;
    case disk_step::open_device:
        error("Unable to open device \"%s\": %s\n", device, strerror(result.error));
        break;
    case disk_step::query_device:
        error("Unable to query device \"%s\": %s\n", device, strerror(result.error));
        break;
    case disk_step::create_node:
        error("Unable to create TEV disk \"%s\": %s\n", label, strerror(result.error));
        break;
    case disk_step::open_node:
        error("Unable to open TEV disk \"%s\": %s\n", label, strerror(result.error));
        if (result.removal_error != 0)
            error("Unable to remove TEV disk \"%s\": %s\n", label,
                  strerror(result.removal_error));
        break;
    case disk_step::remove_node:
        error("Unable to remove TEV disk \"%s\": %s\n", label, strerror(result.error));
        break;
    }
    return result.status;
}

}  // namespace

int disk_command(int argc, char** argv) {
    int mode = choose_invocation(argv, "disk", "velmortev-instantiate-disk",
                                 "velmortev-clean-disk");
    if (mode < 0)
        return mode;
    bool instantiate = mode == 0;
    usage_text = instantiate ? instantiate_usage : clean_usage;

    disk_flags run;
    int index = parse_options(argc, argv, options, run);
    const char* device = nullptr;
    if (instantiate)
        device = require_operand(argc, argv, index, "You must specify a target device\n");
    // Folded in place, so the node name and every later message use the
    // upper-case form.
    char* label = require_operand(argc, argv, index, "You must specify a label\n");
    validate_label(label);
    refuse_extra_operands(argc, index);
    if (!run.manager)
        print_usage(-EINVAL, "You must specify a manager.\n");

    int rc = check_manager(run.manager);
    if (rc < 0) {
        error("Unable to open manager: %s\n", strerror(-rc));
        return rc;
    }
    disk_result result = instantiate ? instantiate_disk(run.manager, device, label)
                                     : clean_disk(run.manager, label);
    return report(result, device, label);
}

}  // namespace vlm
