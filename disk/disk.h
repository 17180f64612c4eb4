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

// The step at which a node operation failed; the command words the message.
enum class disk_step {
    none,          // done, or no memory for the node path
    open_device,   // the target did not open as a block device
    query_device,  // fstat of the target
    create_node,   // mknod
    open_node,     // the new node did not open (it was removed again)
    remove_node,   // unlink
};

struct disk_result {
    int status = 0;                      // the operation's result
    disk_step failed = disk_step::none;
    int error = 0;                       // positive errno of the failed step
    // After open_node: the errno of the removal that followed, 0 if it worked.
    int removal_error = 0;
};

// Creates the block node <manager>/disks/<label> with the device number of
// the device and checks that it opens. A node that was created but does not
// open is removed again. The status is 0, -ENOMEM, the device's or the
// node's negative open code, or -1 when fstat of the device or mknod failed.
disk_result instantiate_disk(const char* manager, const char* device, const char* label);

// Removes the node <manager>/disks/<label>. The status is 0, -ENOMEM, or -1
// when unlink failed.
disk_result clean_disk(const char* manager, const char* label);

}  // namespace vlm
