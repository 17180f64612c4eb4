// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-candidate-p: answers through its exit status whether a block
// device may carry a disk label. With -v it says why a device is refused.
#include "candidate/candidate_command.h"
#include "lib/standard_streams.h"

int main(int argc, char** argv) {
    return vlm::run_program(vlm::candidate_command, argc, argv, vlm::candidate_program);
}
