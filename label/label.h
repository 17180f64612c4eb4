// SPDX-License-Identifier: GPL-2.0-or-later
// The label block in a device's first logical block and the block
// operations of the label program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "label/label_name.h"
#include "lib/owners.h"

namespace vlm {

inline constexpr size_t label_checksum_offset = 12;
inline constexpr size_t label_magic_offset = 32;
inline constexpr size_t label_text_offset = 40;
inline constexpr size_t label_magic_size = 8;
inline constexpr size_t zero_span = 1048576;  // bytes zeroed at each end by -c

inline constexpr char magic_labelled[] = "VLMRDISK";
inline constexpr char magic_cleared[] = "VLMRCLRD";

// The in-memory copy of the three label fields.
struct label_info {
    uint32_t checksum;                // as stored, little-endian on the device
    char magic[label_magic_size];     // no terminating NUL
    char label[label_max];            // NUL-padded; no NUL when 24 long
};

// Opens the path as a block device for direct I/O, exclusively for writing.
// Returns the descriptor or a negated errno.
int open_label_device(const char* path, bool for_writing);

// Reads the first logical block and fills the record from it.
int read_label_block(int fd, label_info* info);

// 0 when the magic marks a label (a cleared one too when accept_cleared is
// set), -ENXIO otherwise, -EINVAL for a missing record.
int check_label_magic(const label_info* info, bool accept_cleared);

// The 24 label bytes followed by a NUL, or an empty owner when memory runs
// out.
malloc_ptr<char> copy_label(const label_info* info);

// Reads the block again and writes it back with the record's three fields in
// place; every other byte keeps its value.
int write_label_block(int fd, const label_info* info);

// Writes 1 MiB of zeroes from the buffer at the descriptor's position.
int write_zero_mib(int fd, const unsigned char* zeroes);

// Makes the device's data reach stable storage after direct writes.
int flush_device(int fd);

// The XOR of the six little-endian 32-bit words of a label field.
uint32_t fold_label(const char* label);

// Marks the record labelled with the text, keeping the checksum in step.
void set_label_fields(label_info* info, const char* text);
// Marks the record cleared; the checksum is kept as it is.
void clear_label_fields(label_info* info);

}  // namespace vlm
