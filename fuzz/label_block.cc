// SPDX-License-Identifier: GPL-2.0-or-later
// The label block as read from a device: whatever the first block holds,
// reading takes the three fields from their places, and labelling or
// clearing writes back a whole block in which only the checksum, magic and
// label bytes changed, the checksum kept in step by XOR.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "harness.h"
#include "label/label.h"

namespace {

constexpr size_t block = 512;  // an anonymous file has no logical block size

uint32_t word_at(const std::string& s, size_t offset) {
    uint32_t v;
    std::memcpy(&v, s.data() + offset, 4);
    return v;
}

uint32_t fold(const std::string& label24) {
    uint32_t f = 0;
    for (size_t w = 0; w < 24; w += 4)
        f ^= word_at(label24, w);
    return f;
}

std::string contents(int fd, size_t size) {
    std::string bytes(size, '\0');
    fuzz::require(pread(fd, bytes.data(), size, 0) == ssize_t(size), "reading back");
    return bytes;
}

void require_kept(const std::string& before, const std::string& after) {
    fuzz::require(before.size() == after.size(), "the file changed its size");
    for (size_t i = 0; i < before.size(); i++) {
        bool field = (i >= 12 && i < 16) || (i >= 32 && i < 64);
        if (!field && before[i] != after[i])
            fuzz::finding("a byte outside the label fields changed", std::to_string(i));
    }
}

// A label text of valid characters made from the input's tail.
std::string label_text(std::string_view from) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
    std::string text = "L";
    for (size_t i = 0; i < from.size() && text.size() < vlm::label_max; i++)
        text += alphabet[static_cast<unsigned char>(from[i]) % (sizeof alphabet - 1)];
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string original(reinterpret_cast<const char*>(data), size);
    fuzz::memory_file device(original);
    vlm::label_info info;
    std::memset(&info, 0xa5, sizeof info);
    int rc = vlm::read_label_block(device.fd(), &info);
    if (size < block) {
        fuzz::require(rc == -ENOSPC, "a short device reads as no space");
        fuzz::require(vlm::write_label_block(device.fd(), &info) == -ENOSPC, "short write");
        fuzz::require(contents(device.fd(), size) == original, "a short device was written");
        return 0;
    }
    fuzz::require(rc == 0, "reading a whole block");
    fuzz::require(info.checksum == word_at(original, 12), "checksum field");
    fuzz::require(std::memcmp(info.magic, original.data() + 32, 8) == 0, "magic field");
    fuzz::require(std::memcmp(info.label, original.data() + 40, 24) == 0, "label field");

    bool labelled = original.compare(32, 8, "VLMRDISK") == 0;
    bool cleared = original.compare(32, 8, "VLMRCLRD") == 0;
    fuzz::require((vlm::check_label_magic(&info, false) == 0) == labelled, "magic test");
    fuzz::require((vlm::check_label_magic(&info, true) == 0) == (labelled || cleared),
                  "magic test with cleared labels accepted");
    vlm::malloc_ptr<char> copy = vlm::copy_label(&info);
    fuzz::require(copy && std::memcmp(copy.get(), info.label, 24) == 0 && copy.get()[24] == '\0',
                  "label copy");

    std::string text = label_text(std::string_view(original).substr(block));
    vlm::set_label_fields(&info, text.c_str());
    fuzz::require(vlm::write_label_block(device.fd(), &info) == 0, "writing the label");
    std::string after = contents(device.fd(), size);
    require_kept(original, after);
    std::string field = text + std::string(24 - text.size(), '\0');
    fuzz::require(after.compare(32, 8, "VLMRDISK") == 0 && after.compare(40, 24, field) == 0,
                  "label written");
    fuzz::require(word_at(after, 12) ==
                      (word_at(original, 12) ^ fold(original.substr(40, 24)) ^ fold(field)),
                  "checksum out of step");

    vlm::clear_label_fields(&info);
    fuzz::require(vlm::write_label_block(device.fd(), &info) == 0, "clearing the label");
    std::string cleared_now = contents(device.fd(), size);
    require_kept(original, cleared_now);
    fuzz::require(cleared_now.compare(12, 4, after, 12, 4) == 0, "clearing kept the checksum");
    fuzz::require(cleared_now.compare(32, 32, "VLMRCLRD" + std::string(24, '\0')) == 0,
                  "label cleared");
    return 0;
}
