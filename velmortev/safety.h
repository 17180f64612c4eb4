// SPDX-License-Identifier: GPL-2.0-or-later
// What a write on a device does first: find the signatures of other owners
// (through libblkid, never a magic table of our own), save every byte it is
// about to overwrite, and bring such a saved region back later.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vlm {

// Which device a region was taken from, and how a device is recognised again.
struct device_identity {
    std::string path;     // as the administrator named it
    uint64_t size = 0;    // bytes; save_region records the size it measures
    std::string wwid;     // empty where the device has none
    std::string serial;   // empty where the device has none
};

// A signature libblkid finds on a device, other than the kit's own label.
struct found_signature {
    std::string type;     // libblkid's TYPE or PTTYPE, e.g. "ext4", "dos"
    uint64_t offset = 0;  // of its magic, in bytes from the device's start
    uint64_t length = 0;  // of its magic
};

// Probes DEVICE (superblocks and partition tables) for every signature that
// erasing them would meet, in libblkid's order: also a magic that shows only
// once another is gone (a GPT's header at the device's end). Opens the
// device for reading only. 0 or a negated errno (-ENOTBLK for a path that is
// no block device).
int probe_signatures(const char* device, std::vector<found_signature>& out);
// The same on a block device already open for reading without O_DIRECT
// (libblkid's reads are not aligned), so that a caller that has read the
// label on it needs no second open.
int probe_open_device(int fd, std::vector<found_signature>& out);

// A run of bytes on a device that a write is about to change.
struct device_region {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// The bytes wipe_signatures would change: each signature's magic.
std::vector<device_region> signature_regions(const std::vector<found_signature>& found);

// Reads REGION from the device with direct I/O and stores it as one file in
// BACKUP_DIR before anything is written to the device. The directory is made
// 0700 when missing (its parents 0755); an existing one that is not owned by
// this user, or that group or others have any access to, is refused with
// -EPERM. The file is 0600, written and fsync'ed under a name no reader can
// see half-written, then linked in and the directory fsync'ed: a failure
// (-ENOSPC, -ENOENT, -EACCES...) leaves no file behind. The file records the
// identity, the offset and the time; its name holds the device, the WWID
// where known, the offset and the time. SAVED gets its path. A region beyond
// the device's end is -EINVAL.
int save_region(std::string_view backup_dir, const device_identity& device,
                device_region region, std::string& saved);

// Erases through libblkid the signatures on DEVICE, which must be those of
// SAVED (the ones whose regions have been saved). A device that shows a
// signature not in SAVED is refused with -ESTALE before anything is erased.
// The device is opened exclusively (-EBUSY while it is in use).
int wipe_signatures(const char* device, const std::vector<found_signature>& saved);

// A saved region, read back.
struct saved_region {
    device_identity origin;
    uint64_t offset = 0;
    std::vector<unsigned char> bytes;
    std::string taken;  // the time it was taken, as recorded (UTC, ISO 8601)
};

// Parses a file that save_region wrote; -EBADMSG for anything else.
int read_saved_region(const char* file, saved_region& out);

// Writes a saved region back onto DEVICE, whose identity is CURRENT, after
// checking that it is the origin: the size the device has now equals the
// recorded one, and the WWID is the same where both have one (else the
// serial, where both have one). A different device is -ENODEV, and nothing
// is written. The blocks around the region are read and written whole with
// direct I/O, then flushed; the device is opened exclusively.
int restore_region(const saved_region& saved, const char* device,
                   const device_identity& current);

// Whether a risky step (erasing, deleting, renaming, restoring) may go
// ahead. With YES it goes ahead unasked. Otherwise, when INPUT is no
// terminal, nobody can be asked and the caller must say that --yes is
// needed; on a terminal QUESTION is put on PROMPT (standard error, so that a
// JSON answer on standard output stays whole) with " [y/N] ", and one line
// is read from INPUT: "y" or "yes" in any case gives consent, anything else,
// an empty line or the end of input declines.
enum class consent { given, declined, needs_yes };
consent ask_consent(std::string_view question, bool yes, int input, std::FILE* prompt);

}  // namespace vlm
