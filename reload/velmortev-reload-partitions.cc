// velmortev-reload-partitions: asks the kernel to reread the partition table
// of every whole disk named on standard input, one path per line. Silent;
// the status is 0 once the input ends.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "blockdev.h"
#include "frame.h"
#include "owners.h"
#include "standard_streams.h"

using namespace vlm;

namespace {

const char reload_usage[] =
    "Usage: velmortev-reload-partitions < device_list\n"
    "       velmortev-reload-partitions -h\n"
    "       velmortev-reload-partitions -V\n";

// Every option ends the process, so no letter of its own is ever handled.
const option_table options = {":-:hV", {}, missing_argument::unexpected, nullptr};

// Only block devices are opened: opening a FIFO for reading would wait for a
// writer forever, and opening a character device can have side effects.
// Anything else is passed over like a path that cannot be opened.
unique_fd open_block_device(const char* path) {
    return unique_fd(open_checked_block(path, O_RDONLY | O_CLOEXEC));
}

bool names_partition(const char* path) {
    unique_fd fd = open_block_device(path);
    return fd && is_partition(fd.get());
}

// A device whose geometry cannot be read counts as a whole disk. The reread
// request is refused while a partition of the disk is in use; that is no
// concern of ours, so its result is ignored.
void reload_one(const char* path) {
    if (names_partition(path))
        return;
    unique_fd fd = open_block_device(path);
    if (fd)
        ioctl(fd.get(), BLKRRPART, 0);
}

// Each fgets gives at most 4095 characters of a line; a longer line arrives
// in pieces and each piece is taken as a path of its own.
int reload_partitions() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        reload_one(line);
    }
    return 0;
}

}  // namespace

static int run_command(int argc, char** argv) {
    progname = "velmortev-reload-partitions";
    usage_text = reload_usage;

    int index = parse_options(argc, argv, options);
    refuse_extra_operands(argc, index);

    return reload_partitions();
}

int main(int argc, char** argv) {
    int rc = open_missing_standard_fds();
    if (rc < 0)
        return rc;
    rc = run_command(argc, argv);
    return finish_stdout(rc, progname);
}
