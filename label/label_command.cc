// SPDX-License-Identifier: GPL-2.0-or-later
#include "label/label_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "label/label.h"
#include "lib/blockdev.h"
#include "lib/owners.h"
#include "lib/shown_text.h"

namespace vlm {

namespace {

// The options of one run, kept by the command and handed down.
struct label_flags {
    bool write_mode = false;    // started as velmortev-write-label
    bool force = false;         // -f: replace a present label
    bool delete_label = false;  // -d: clear the label
    bool zero_ends = false;     // -c: zero the first and last MiB first
    // -r: a cleared label counts as a label in every test of the run
    bool accept_cleared = false;
};

const char read_usage[] =
    "Usage: velmortev-read-label <device>\n"
    "       velmortev-read-label -h\n"
    "       velmortev-read-label -V\n";
const char write_usage[] =
    "To label: velmortev-write-label [-f] [-c] <device> <label>\n"
    "To clear: velmortev-write-label -d <device>\n"
    "          velmortev-write-label -h\n"
    "          velmortev-write-label -V\n";

// A letter that only write mode takes; read mode refuses it.
void require_write_mode(const label_flags& run, int letter) {
    if (!run.write_mode)
        print_usage(-EINVAL, "Invalid option: '-%c'\n", letter);
}

option_result handle_option(label_flags& run, int letter, const char*) {
    switch (letter) {
    case 'r':
        run.accept_cleared = true;
        return option_result::handled;
    case 'd':
        require_write_mode(run, letter);
        run.delete_label = true;
        return option_result::handled;
    case 'c':
        require_write_mode(run, letter);
        run.zero_ends = true;
        return option_result::handled;
    case 'f':
        require_write_mode(run, letter);
        run.force = true;
        return option_result::handled;
    }
    return option_result::unknown;
}

const option_table<label_flags> options = {":hV-:rdcf", {}, missing_argument::unexpected,
                                           handle_option};

// The common start of both modes: open the device and read its label block.
int open_and_read(const char* device, bool for_writing, unique_fd& fd, label_info& info) {
    fd = unique_fd(open_label_device(device, for_writing));
    if (!fd) {
        error("Unable to open device \"%s\": %s\n", device, strerror(-fd.get()));
        return fd.get();
    }
    int rc = read_label_block(fd.get(), &info);
    if (rc < 0)
        error("Unable to read device \"%s\": %s\n", device, strerror(-rc));
    return rc;
}

int get_info(const label_flags& run, const char* device) {
    unique_fd fd;
    label_info info;
    int rc = open_and_read(device, false, fd, info);
    if (rc < 0)
        return rc;
    if (check_label_magic(&info, run.accept_cleared) != 0)
        return 0;
    malloc_ptr<char> label = copy_label(&info);
    if (!label) {
        error("Unable to allocate memory\n");
        return -ENOMEM;
    }
    char shown[shown_size(label_max)];
    std::printf("%s:%s\n", show_into(shown, label.get()), device);
    return 0;
}

int clear_label(const label_flags& run, int fd, label_info* info, const char* device) {
    if (check_label_magic(info, run.accept_cleared) != 0)
        return 0;
    clear_label_fields(info);
    int rc = write_label_block(fd, info);
    if (rc < 0)
        error("Unable to remove label from device \"%s\": %s\n", device, strerror(-rc));
    return rc;
}

// Zeroes the first and the last MiB of the device.
int zero_device_ends(int fd) {
    aligned_buffer zeroes;
    int rc = zeroes.make(static_cast<size_t>(logical_block_size(fd)), zero_span);
    if (rc < 0)
        return rc;
    std::memset(zeroes.data(), 0, zero_span);
    if (lseek(fd, 0, SEEK_SET) < 0)
        return -errno;
    rc = write_zero_mib(fd, zeroes.data());
    if (rc < 0)
        return rc;
    if (lseek(fd, -static_cast<off_t>(zero_span), SEEK_END) < 0)
        return -errno;
    rc = write_zero_mib(fd, zeroes.data());
    if (rc < 0)
        return rc;
    return flush_device(fd);
}

int set_label(const label_flags& run, int fd, label_info* info, const char* device,
              const char* label) {
    if (!run.force && check_label_magic(info, run.accept_cleared) == 0) {
        malloc_ptr<char> present = copy_label(info);
        char shown[shown_size(label_max)];
        if (present)
            error("Device \"%s\" is already labeled \"%s\"\n", device,
                  show_into(shown, present.get()));
        else
            error("Unable to allocate memory\n");
        return -EEXIST;
    }
    if (run.zero_ends) {
        int rc = zero_device_ends(fd);
        if (rc < 0) {
            error("Unable to clear device \"%s\": %s\n", device, strerror(-rc));
            return rc;
        }
    }
    if (label[0] == '\0') {
        error("Unable to label device \"%s\": %s\n", device, strerror(EINVAL));
        return -EINVAL;
    }
    set_label_fields(info, label);
    int rc = write_label_block(fd, info);
    if (rc < 0)
        error("Unable to label device \"%s\": %s\n", device, strerror(-rc));
    return rc;
}

int put_info(const label_flags& run, const char* device, const char* label) {
    unique_fd fd;
    label_info info;
    int rc = open_and_read(device, true, fd, info);
    if (rc < 0)
        return rc;
    if (run.delete_label)
        return clear_label(run, fd.get(), &info, device);
    return set_label(run, fd.get(), &info, device, label);
}

}  // namespace

int label_command(int argc, char** argv) {
    int mode = choose_invocation(argv, "label", "velmortev-read-label", "velmortev-write-label");
    if (mode < 0)
        return mode;
    label_flags run;
    run.write_mode = mode == 1;
    usage_text = run.write_mode ? write_usage : read_usage;

    int index = parse_options(argc, argv, options, run);
    const char* device = require_operand(argc, argv, index, "You must specify a device\n");
    char* label = nullptr;
    if (run.write_mode && !run.delete_label) {
        label = require_operand(argc, argv, index, "You must specify a label\n");
        validate_label(label);
    }
    refuse_extra_operands(argc, index);

    return run.write_mode ? put_info(run, device, label) : get_info(run, device);
}

}  // namespace vlm
