// SPDX-License-Identifier: GPL-2.0-or-later
// The calling interface of TEVLib, the driver's access library, as this kit
// uses it: the twelve entry points, the table they are bound into, and the
// layout of the disk record that tev_fetch fills.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlm {

// Entry points. Every call that can fail returns a 32-bit code, 0 for
// success; contexts and the version value are opaque 64-bit words.
extern "C" {
using tev_version_fn = int32_t(uint32_t* request, uint64_t* version, char* name,
                               uint32_t name_size, uint32_t* reserved);
using tev_init_fn = int32_t(uint64_t version, uint64_t* context);
using tev_fini_fn = void(uint64_t context);
using tev_discover_fn = int32_t(uint64_t context, const char* discovery);
using tev_fetch_fn = int32_t(uint64_t context, unsigned char* record);
using tev_open_fn = int32_t(uint64_t context, const char* disk_name, uint64_t* disk);
using tev_close_fn = int32_t(uint64_t disk);
using tev_error_fn = void(uint64_t context, int32_t code, char* text, uint32_t text_size);
using tev_ioerror_fn = void(uint64_t disk, int32_t code, char* text, uint32_t text_size);
using tev_io_fn = int32_t(uint64_t disk, uint32_t direction, uint64_t block, void* buffer,
                          uint32_t blocks);
using tev_cancel_fn = int32_t(uint64_t disk);
using tev_integrity_string_fn = const char*(int32_t kind);
}

// The bound entry points, in binding order.
struct tevlib_ops {
    tev_version_fn* tev_version;
    tev_init_fn* tev_init;
    tev_fini_fn* tev_fini;
    tev_discover_fn* tev_discover;
    tev_fetch_fn* tev_fetch;
    tev_open_fn* tev_open;
    tev_close_fn* tev_close;
    tev_error_fn* tev_error;
    tev_ioerror_fn* tev_ioerror;
    tev_io_fn* tev_io;
    tev_cancel_fn* tev_cancel;
    tev_integrity_string_fn* tev_integrity_string;
};

inline constexpr size_t tevlib_name_size = 64;
inline constexpr size_t tev_error_text_size = 1024;

// The fetched disk record: the caller provides the bytes, the library fills
// them. Only these fields are read; numbers are little-endian.
inline constexpr size_t fetched_disk_size = 432;
inline constexpr size_t fetched_integrity_kind = 35;  // 8 bits
inline constexpr size_t fetched_disk_name = 100;      // text, ends before block_size
inline constexpr size_t fetched_block_size = 388;     // 32 bits; 0: no disk
inline constexpr size_t fetched_block_count = 392;    // 64 bits
inline constexpr size_t fetched_maxio = 400;          // 32 bits
inline constexpr size_t fetched_disk_name_size = fetched_block_size - fetched_disk_name;

// Loads the library, from its fixed place or else along the loader's search
// path, and binds the twelve entry points in table order. Returns 0, or -2
// after one message on standard error; the slots up to the first missing
// name are filled by then.
int bind_tevlib(tevlib_ops* ops);

}  // namespace vlm
