// Checks and queries shared by the programs that open block devices.
#pragma once

namespace vlm {

// Stats the path (following links), refuses anything but a block device,
// opens it with the given flags and checks the opened file again, so that a
// path swapped between the two looks is refused too. Returns the descriptor,
// or -ENOTBLK or the negated errno of the failed step.
int open_checked_block(const char* path, int flags);

// A device open for reading is a partition when HDIO_GETGEO succeeds and
// reports a start sector other than 0; anything else counts as a whole disk.
bool is_partition(int fd);

// The logical block size from BLKSSZGET, or 512 when that fails or says 0.
int logical_block_size(int fd);

}  // namespace vlm
