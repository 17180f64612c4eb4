// SPDX-License-Identifier: GPL-2.0-or-later
#include "label/label.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/blockdev.h"

namespace vlm {

int open_label_device(const char* path, bool for_writing) {
    int flags = for_writing ? (O_RDWR | O_EXCL | O_DIRECT) : (O_RDONLY | O_DIRECT);
    return open_checked_block(path, flags);
}

// Transfers the whole buffer, repeating interrupted or refused calls, so a
// block is never half read or half written without an error. The transfer
// is given how much is done and how much is left.
template <typename Transfer>
static int transfer_block(Transfer transfer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = transfer(done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            return -ENOSPC;
        } else if (errno != EINTR && errno != EAGAIN) {
            return -errno;
        }
    }
    return 0;
}

// Reads the first logical block for the record's fields; -EINVAL for a
// missing record or descriptor.
static int read_whole_block(int fd, const label_info* info, aligned_buffer& buf) {
    if (!info || fd < 0)
        return -EINVAL;
    size_t size = static_cast<size_t>(logical_block_size(fd));
    int rc = buf.make(size, size);
    if (rc < 0)
        return rc;
    unsigned char* data = buf.data();
    return transfer_block(
        [&](size_t done, size_t rest) {
            return pread(fd, data + done, rest, static_cast<off_t>(done));
        },
        size);
}

static uint32_t load_le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static void store_le32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int read_label_block(int fd, label_info* info) {
    aligned_buffer buf;
    int rc = read_whole_block(fd, info, buf);
    if (rc < 0)
        return rc;
    const unsigned char* data = buf.data();
    info->checksum = load_le32(data + label_checksum_offset);
    std::memcpy(info->magic, data + label_magic_offset, label_magic_size);
    std::memcpy(info->label, data + label_text_offset, label_max);
    return 0;
}

int check_label_magic(const label_info* info, bool accept_cleared) {
    if (!info)
        return -EINVAL;
    if (std::memcmp(info->magic, magic_labelled, label_magic_size) == 0)
        return 0;
    if (!accept_cleared)
        return -ENXIO;
    if (std::memcmp(info->magic, magic_cleared, label_magic_size) == 0)
        return 0;
    return -ENXIO;
}

malloc_ptr<char> copy_label(const label_info* info) {
    malloc_ptr<char> text(static_cast<char*>(std::malloc(label_max + 1)));
    if (text) {
        std::memcpy(text.get(), info->label, label_max);
        text.get()[label_max] = '\0';
    }
    return text;
}

int write_label_block(int fd, const label_info* info) {
    aligned_buffer buf;
    int rc = read_whole_block(fd, info, buf);
    if (rc < 0)
        return rc;
    unsigned char* data = buf.data();
    store_le32(data + label_checksum_offset, info->checksum);
    std::memcpy(data + label_magic_offset, info->magic, label_magic_size);
    std::memcpy(data + label_text_offset, info->label, label_max);
    rc = transfer_block(
        [&](size_t done, size_t rest) {
            return pwrite(fd, data + done, rest, static_cast<off_t>(done));
        },
        buf.size());
    if (rc < 0)
        return rc;
    return flush_device(fd);
}

int write_zero_mib(int fd, const unsigned char* zeroes) {
    return transfer_block(
        [&](size_t done, size_t rest) { return write(fd, zeroes + done, rest); }, zero_span);
}

int flush_device(int fd) {
    while (fsync(fd) < 0) {
        if (errno != EINTR)
            return -errno;
    }
    return 0;
}

uint32_t fold_label(const char* label) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(label);
    uint32_t fold = 0;
    for (size_t word = 0; word < label_max; word += 4)
        fold ^= load_le32(bytes + word);
    return fold;
}

void set_label_fields(label_info* info, const char* text) {
    std::memcpy(info->magic, magic_labelled, label_magic_size);
    uint32_t old_fold = fold_label(info->label);
    std::memset(info->label, 0, label_max);
    std::memcpy(info->label, text, strnlen(text, label_max));
    info->checksum ^= old_fold ^ fold_label(info->label);
}

void clear_label_fields(label_info* info) {
    std::memcpy(info->magic, magic_cleared, label_magic_size);
    std::memset(info->label, 0, label_max);
}

}  // namespace vlm
