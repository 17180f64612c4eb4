// velmortev-candidate-p: answers through its exit status whether a block
// device may carry a disk label. With -v it says why a device is refused.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "blockdev.h"
#include "drivers.h"
#include "frame.h"
#include "owners.h"
#include "standard_streams.h"

using namespace vlm;

namespace {

const char candidate_usage[] =
    "Usage: velmortev-candidate-p [-f] <device>\n"
    "       velmortev-candidate-p -h\n"
    "       velmortev-candidate-p -V\n";

// Drivers whose whole devices may carry a label, tried in this order.
constexpr const char* whole_device_drivers[] = {
    "ramdisk", "loop", "md", "device-mapper", "VxVM", "VxDMP", "vdisk", "nvme",
};

bool force = false;
bool verbose = false;

bool handle_option(int letter, const char*) {
    switch (letter) {
    case 'f':
        force = true;
        return true;
    case 'v':
        verbose = true;
        return true;
    }
    return false;
}

constexpr option_word candidate_words[] = {{"force", 'f'}, {"verbose", 'v'}};
const option_table options = {":hV-:fv", candidate_words, missing_argument::unexpected,
                              handle_option};

// Passes the status through, saying why first when asked to. The message
// takes the device path.
int refuse(int status, const char* fmt, const char* device) {
    if (verbose)
        error(fmt, device);
    return status;
}

// The same for a failed system call: the status is its negated errno, and
// the message takes the device path and the error's text.
int refuse_errno(const char* fmt, const char* device) {
    int status = -errno;
    if (verbose)
        error(fmt, device, strerror(-status));
    return status;
}

bool is_accepted_whole_device(int fd) {
    for (const char* driver : whole_device_drivers)
        if (is_block_driver(fd, driver))
            return true;
    return false;
}

// Checks that the path is a block device nobody else holds, then that it is
// a partition, a whole device of an accepted driver, or forced.
int check_candidate(const char* device) {
    struct stat st;
    if (stat(device, &st) < 0)
        return refuse_errno("Unable to query file \"%s\": %s\n", device);
    if (!S_ISBLK(st.st_mode))
        return refuse(-ENOTBLK, "File \"%s\" is not a block device\n", device);
    unique_fd fd(open(device, O_RDWR | O_EXCL | O_CLOEXEC));
    if (!fd)
        return refuse_errno("Unable to open device \"%s\": %s\n", device);
    if (fstat(fd.get(), &st) < 0)
        return refuse_errno("Unable to query device \"%s\": %s\n", device);
    if (!S_ISBLK(st.st_mode))
        return refuse(-ENOTBLK, "Device \"%s\" is not a block device\n", device);
    if (force || is_partition(fd.get()) || is_accepted_whole_device(fd.get()))
        return 0;
    return refuse(-EINVAL, "Device \"%s\" is not a partition\n", device);
}

}  // namespace

static int run_command(int argc, char** argv) {
    progname = "velmortev-candidate-p";
    usage_text = candidate_usage;

    int index = parse_options(argc, argv, options);
    const char* device = require_operand(argc, argv, index, "You must specify a device\n");
    refuse_extra_operands(argc, index);

    return check_candidate(device);
}

int main(int argc, char** argv) {
    int rc = open_missing_standard_fds();
    if (rc < 0)
        return rc;
    rc = run_command(argc, argv);
    return finish_stdout(rc, progname);
}
