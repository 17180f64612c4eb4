// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-instantiate-disk / velmortev-clean-disk: creates or removes the
// disk node of a label in the manager filesystem.
#include "disk/disk_command.h"
#include "frame/frame.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::disk_command, argc, argv, vlm::progname);
}
