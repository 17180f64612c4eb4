// SPDX-License-Identifier: GPL-2.0-or-later
// Signatures of other owners, found and erased through libblkid only: the
// library knows far more formats than any table we could keep, and erases
// exactly the bytes it reports.
#include "velmortev/safety.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "label/label.h"
#include "lib/blockdev.h"
#include "lib/owners.h"

namespace vlm {

namespace {

struct probe_releaser {
    void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using unique_probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, probe_releaser>;

// libblkid sets errno on some failures only.
int probe_error() { return errno > 0 ? -errno : -EIO; }

// Every superblock and partition table, with the place of its magic, and
// also those whose checksum is bad: their bytes still claim the device.
int new_probe(int fd, unique_probe& out) {
    out.reset(blkid_new_probe());
    if (!out)
        return -ENOMEM;
    blkid_probe probe = out.get();
    if (blkid_probe_set_device(probe, fd, 0, 0) < 0 ||
        blkid_probe_enable_superblocks(probe, 1) < 0 ||
        blkid_probe_set_superblocks_flags(
            probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_MAGIC | BLKID_SUBLKS_BADCSUM) < 0 ||
        blkid_probe_enable_partitions(probe, 1) < 0 ||
        blkid_probe_set_partitions_flags(probe, BLKID_PARTS_MAGIC | BLKID_PARTS_FORCE_GPT) < 0)
        return probe_error();
    return 0;
}

// The kit's own label is no foreign signature, whatever name a probe may
// come to give it: its magic, labelled or cleared, in the label's place.
bool is_kit_label(const found_signature& found, std::string_view magic) {
    if (found.offset < label_magic_offset ||
        found.offset + found.length > label_magic_offset + label_magic_size)
        return false;
    size_t at = static_cast<size_t>(found.offset) - label_magic_offset;
    auto in = [&](std::string_view kit) { return kit.substr(at, magic.size()) == magic; };
    return in({magic_labelled, label_magic_size}) || in({magic_cleared, label_magic_size});
}

// What the probe has just found; false when it is the kit's label or the
// probe gives no magic for it.
bool current_signature(blkid_probe probe, found_signature& out) {
    const char* type = nullptr;
    const char* offset = nullptr;
    const char* magic = nullptr;
    size_t magic_size = 0;
    if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) == 0) {
        blkid_probe_lookup_value(probe, "SBMAGIC_OFFSET", &offset, nullptr);
        blkid_probe_lookup_value(probe, "SBMAGIC", &magic, &magic_size);
    } else if (blkid_probe_lookup_value(probe, "PTTYPE", &type, nullptr) == 0) {
        blkid_probe_lookup_value(probe, "PTMAGIC_OFFSET", &offset, nullptr);
        blkid_probe_lookup_value(probe, "PTMAGIC", &magic, &magic_size);
    }
    if (!type || !offset || !magic)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long at = std::strtoull(offset, &end, 10);
    if (errno != 0 || end == offset || *end != '\0')
        return false;
    out.type = type;
    out.offset = at;
    out.length = magic_size;
    return !is_kit_label(out, std::string_view(magic, magic_size));
}

bool same_signature(const found_signature& a, const found_signature& b) {
    return a.type == b.type && a.offset == b.offset && a.length == b.length;
}

bool listed(const found_signature& found, const std::vector<found_signature>& list) {
    return std::any_of(list.begin(), list.end(),
                       [&](const found_signature& each) { return same_signature(each, found); });
}

// One erasing pass over the signatures, in libblkid's order. A dry pass
// erases in libblkid's memory only: some formats keep a second magic (a
// GPT's header at the device's end) that the probe shows only once the first
// is gone, and it must be saved before anything is erased. A real pass
// erases on the device only signatures in ALLOWED, the ones saved.
int erasing_pass(int fd, bool dry, const std::vector<found_signature>* allowed,
                 std::vector<found_signature>& met) {
    unique_probe probe;
    if (int rc = new_probe(fd, probe); rc < 0)
        return rc;
    met.clear();
    int rc;
    while ((rc = blkid_do_probe(probe.get())) == 0) {
        found_signature found;
        if (!current_signature(probe.get(), found))
            continue;
        // A magic that stays after its erasure would come back for ever.
        if (listed(found, met))
            return -ELOOP;
        if (allowed && !listed(found, *allowed))
            return -ESTALE;
        met.push_back(std::move(found));
        if (blkid_do_wipe(probe.get(), dry ? 1 : 0) < 0)
            return probe_error();
    }
    return rc < 0 ? probe_error() : 0;
}

}  // namespace

int probe_signatures(const char* device, std::vector<found_signature>& out) {
    unique_fd fd(open_checked_block(device, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return fd.get();
    return probe_open_device(fd.get(), out);
}

int probe_open_device(int fd, std::vector<found_signature>& out) {
    return erasing_pass(fd, true, nullptr, out);
}

std::vector<device_region> signature_regions(const std::vector<found_signature>& found) {
    std::vector<device_region> regions;
    for (const found_signature& each : found)
        regions.push_back({each.offset, each.length});
    return regions;
}

int wipe_signatures(const char* device, const std::vector<found_signature>& saved) {
    unique_fd fd(open_checked_block(device, O_RDWR | O_EXCL | O_CLOEXEC));
    if (!fd)
        return fd.get();
    // Refused before the first byte is erased when the device has changed
    // since the saves.
    std::vector<found_signature> met;
    if (int rc = erasing_pass(fd.get(), true, &saved, met); rc < 0)
        return rc;
    if (met.empty())
        return 0;
    if (int rc = erasing_pass(fd.get(), false, &saved, met); rc < 0)
        return rc;
    if (fsync(fd.get()) < 0)
        return -errno;
    fd.reset();
    // A partition table that is gone must leave the kernel's view too.
    reread_if_whole_disk(device);
    return 0;
}

}  // namespace vlm
