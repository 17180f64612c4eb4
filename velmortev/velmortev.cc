// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev: the administrator's front end to the kit, one verb per daily
// task (list, show, create, delete, rename, scan, config, restore).
#include "frame/frame.h"
#include "lib/standard_streams.h"
#include "velmortev/velmortev_command.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::velmortev_command, argc, argv, vlm::progname);
}
