// SPDX-License-Identifier: GPL-2.0-or-later
#include "candidate/candidate_command.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "candidate/drivers.h"
#include "frame/frame.h"
#include "lib/blockdev.h"
#include "lib/owners.h"

namespace vlm {

candidate_flags candidate_run;

namespace {

const char candidate_usage[] =
    "Usage: velmortev-candidate-p [-f] <device>\n"
    "       velmortev-candidate-p -h\n"
    "       velmortev-candidate-p -V\n";

// Drivers whose whole devices may carry a label, tried in this order.
constexpr const char* whole_device_drivers[] = {
    "ramdisk", "loop", "md", "device-mapper", "VxVM", "VxDMP", "vdisk", "nvme",
};

option_result handle_option(int letter, const char*) {
    switch (letter) {
    case 'f':
        candidate_run.force = true;
        return option_result::handled;
    case 'v':
        candidate_run.verbose = true;
        return option_result::handled;
    }
    return option_result::unknown;
}

constexpr option_word candidate_words[] = {{"force", 'f'}, {"verbose", 'v'}};
const option_table options = {":hV-:fv", candidate_words, missing_argument::unexpected,
                              handle_option};

// Passes the status through, saying why first when asked to. The message
// takes the device path.
int refuse(int status, const char* fmt, const char* device) {
    if (candidate_run.verbose)
        error(fmt, device);
    return status;
}

bool is_accepted_whole_device(int fd) {
    for (const char* driver : whole_device_drivers)
        if (is_block_driver(fd, driver))
            return true;
    return false;
}

// The message for each step at which the open can fail; the ones of a
// failed call take the error's text after the device path.
const char* open_failure_message(open_step step) {
    switch (step) {
    case open_step::stat_path:
        return "Unable to query file \"%s\": %s\n";
    case open_step::path_type:
        return "File \"%s\" is not a block device\n";
    case open_step::open_path:
        return "Unable to open device \"%s\": %s\n";
    case open_step::stat_opened:
        return "Unable to query device \"%s\": %s\n";
    case open_step::opened_type:
        break;
    }
    return "Device \"%s\" is not a block device\n";
}

// Checks that the path is a block device nobody else holds, then that it is
// a partition, a whole device of an accepted driver, or forced.
int check_candidate(const char* device) {
    open_step failed = open_step::stat_path;
    unique_fd fd(open_checked_block(device, O_RDWR | O_EXCL | O_CLOEXEC, &failed));
    if (!fd) {
        if (candidate_run.verbose)
            error(open_failure_message(failed), device, strerror(-fd.get()));
        return fd.get();
    }
    if (candidate_run.force || may_carry_label(fd.get()))
        return 0;
    return refuse(-EINVAL, "Device \"%s\" is not a partition\n", device);
}

}  // namespace

bool may_carry_label(int fd) { return is_partition(fd) || is_accepted_whole_device(fd); }

int candidate_command(int argc, char** argv) {
    progname = "velmortev-candidate-p";
    usage_text = candidate_usage;

    int index = parse_options(argc, argv, options);
    const char* device = require_operand(argc, argv, index, "You must specify a device\n");
    refuse_extra_operands(argc, index);

    return check_candidate(device);
}

}  // namespace vlm
