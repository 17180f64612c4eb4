// SPDX-License-Identifier: GPL-2.0-or-later
// The disk nodes of the manager filesystem: opening block devices, and
// creating and removing the node <manager>/disks/<label> that stands for a
// labelled device.
#pragma once

#include "lib/manager.h"

namespace vlm {

// Opens the path read-write as a block device (links are followed). Returns
// the descriptor, -ENOTBLK, or the negated errno of the failed step.
int open_block_device(const char* path);

// Creates the block node <manager>/disks/<label> with the device number of
// the device and checks that it opens. A node that was created but does not
// open is removed again. Returns 0, -ENOMEM, the device's or the node's
// negative open code, or -1 when fstat of the device or mknod failed.
int instantiate_disk(const char* manager, const char* device, const char* label);

// Removes the node <manager>/disks/<label>. Returns 0, -ENOMEM, or -1 when
// unlink failed.
int clean_disk(const char* manager, const char* label);

}  // namespace vlm
