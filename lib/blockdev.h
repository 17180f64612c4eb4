// SPDX-License-Identifier: GPL-2.0-or-later
// Checks and queries shared by the programs that open block devices.
#pragma once

namespace vlm {

// The steps of open_checked_block, for a caller that tells its failures
// apart.
enum class open_step {
    stat_path,     // stat of the path failed
    path_type,     // the path is not a block device
    open_path,     // open failed
    stat_opened,   // fstat of the opened file failed
    opened_type,   // the opened file is not a block device
};

// Stats the path (following links), refuses anything but a block device,
// opens it with the given flags and checks the opened file again, so that a
// path swapped between the two looks is refused too. Returns the descriptor,
// or -ENOTBLK or the negated errno of the failed step, which it names in
// *failed when given.
int open_checked_block(const char* path, int flags, open_step* failed = nullptr);

// A device open for reading is a partition when HDIO_GETGEO succeeds and
// reports a start sector other than 0; anything else counts as a whole disk.
bool is_partition(int fd);

// The logical block size from BLKSSZGET, or 512 when that fails or says 0.
int logical_block_size(int fd);

// Asks the kernel to reread the partition table when the path names a whole
// disk. Only block devices are opened: opening a FIFO for reading would wait
// for a writer forever, and opening a character device can have side
// effects. A device whose geometry cannot be read counts as a whole disk.
// The request is refused while a partition of the disk is in use, which is
// no concern of the callers, so all failures pass silently.
void reread_if_whole_disk(const char* path);

}  // namespace vlm
