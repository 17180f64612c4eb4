// SPDX-License-Identifier: GPL-2.0-or-later
// What a write on a device does first: find the signatures of other owners
// (through libblkid, never a magic table of our own), save every byte it is
// about to overwrite, and bring such a saved region back later.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlm {

// Which device a region was taken from, and how a device is recognised again.
struct device_identity {
    std::string path;     // as the administrator named it
    uint64_t size = 0;    // bytes
    std::string wwid;     // empty where the device has none
    std::string serial;   // empty where the device has none
};

// A signature libblkid finds on a device, other than the kit's own label.
struct found_signature {
    std::string type;     // libblkid's TYPE or PTTYPE, e.g. "ext4", "dos"
    uint64_t offset = 0;  // of its magic, in bytes from the device's start
    uint64_t length = 0;  // of its magic
};

// Probes DEVICE (superblocks and partition tables). 0 or a negated errno.
int probe_signatures(const char* device, std::vector<found_signature>& out);

// A run of bytes on a device that a write is about to change.
struct device_region {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Reads REGION from the device and stores it as one file in BACKUP_DIR
// (made 0700 when missing; the file 0600, written and fsync'ed, the
// directory fsync'ed) before anything is written to the device. The file
// records the identity, the offset and the time; its name holds the device,
// the WWID where known, the offset and the time. SAVED gets its path.
int save_region(std::string_view backup_dir, const device_identity& device,
                device_region region, std::string& saved);

// Erases the signatures found on DEVICE through libblkid. Call only after
// every region they occupy has been saved.
int wipe_signatures(const char* device);

// A saved region, read back.
struct saved_region {
    device_identity origin;
    uint64_t offset = 0;
    std::vector<unsigned char> bytes;
    std::string taken;  // the time it was taken, as recorded
};

int read_saved_region(const char* file, saved_region& out);

// Writes a saved region back onto a device whose identity is CURRENT, after
// checking that it is the origin: the same size, and the same WWID where
// both have one. A different device is -ENODEV? (see the implementation).
int restore_region(const saved_region& saved, const char* device,
                   const device_identity& current);

}  // namespace vlm
