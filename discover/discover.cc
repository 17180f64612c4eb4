// SPDX-License-Identifier: GPL-2.0-or-later
#include "discover/discover.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/owners.h"
#include "lib/standard_streams.h"

namespace vlm {

namespace {

constexpr const char* default_discovery = "VLMR:*";

// The record's numbers are little-endian whatever the host's order.
uint64_t load_le(const unsigned char* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

// The length of a text the library wrote into a field of the given size.
// A library that leaves the text unterminated gets the whole field and no
// byte beyond it.
int bounded_length(const char* text, size_t field_size) {
    return static_cast<int>(strnlen(text, field_size));
}

// Asks the library for the text of a failed call and prints it after what
// failed. The buffer starts zeroed, so a library that writes nothing into it
// gives an empty text rather than stale stack bytes.
void report_failure(const tevlib_ops& ops, uint64_t context, int32_t code, const char* what) {
    char text[tev_error_text_size] = {};
    ops.tev_error(context, code, text, sizeof text);
    std::fprintf(stderr, "%s: %.*s\n", what, bounded_length(text, sizeof text), text);
}

void print_disk(const tevlib_ops& ops, const unsigned char* record) {
    uint64_t block_size = load_le(record + fetched_block_size, 4);
    uint64_t block_count = load_le(record + fetched_block_count, 8);
    unsigned long maxio = static_cast<unsigned long>(load_le(record + fetched_maxio, 4));
    const char* integrity = ops.tev_integrity_string(int32_t(record[fetched_integrity_kind]));
    if (!integrity)
        integrity = "(null)";
    const char* name = reinterpret_cast<const char*>(record + fetched_disk_name);
    // The byte count wraps modulo 2^64, as the 64-bit product does.
    std::printf("Discovered disk: %.*s [%llu blocks (%llu bytes), maxio %lu, integrity %s]\n",
                bounded_length(name, fetched_disk_name_size), name,
                static_cast<unsigned long long>(block_count),
                static_cast<unsigned long long>(block_size * block_count), maxio, integrity);
    flush_stdout();
}

// Starts the discovery and prints each disk as soon as it is fetched, until
// the library hands back a record with block size 0 or a call fails.
void list_disks(const tevlib_ops& ops, uint64_t context, const char* discovery) {
    int32_t code = ops.tev_discover(context, discovery);
    if (code != 0) {
        report_failure(ops, context, code, "tev_discover() failed");
        return;
    }
    // Zeroed once, so a library that fills nothing ends the list; the
    // record is not cleared between fetches.
    unsigned char record[fetched_disk_size] = {};
    for (;;) {
        code = ops.tev_fetch(context, record);
        if (code != 0) {
            report_failure(ops, context, code, "tev_fetch() failed");
            return;
        }
        if (load_le(record + fetched_block_size, 4) == 0)
            return;
        print_disk(ops, record);
    }
}

// A failing code is the exit status; one that the shell would see as 0 is
// made 1 so that the failure does not pass for success.
int failure_status(int32_t code) {
    return (code & 0xff) == 0 ? 1 : code;
}

}  // namespace

const char* choose_discovery_string(int argc, char** argv) {
    if (argc > 1 && argv[1][0] != '\0')
        return argv[1];
    return default_discovery;
}

int run_discovery(const tevlib_ops& ops, const char* discovery) {
    malloc_ptr<char> name(static_cast<char*>(std::malloc(tevlib_name_size)));
    if (!name) {
        std::fprintf(stderr, "Unable to allocate memory for tevlib_name: %s\n",
                     strerror(errno));
        return -ENOMEM;
    }
    std::memset(name.get(), 0, tevlib_name_size);

    uint32_t request = 1;
    uint64_t version = 0;
    uint32_t reserved = 0;
    int32_t code = ops.tev_version(&request, &version, name.get(), tevlib_name_size, &reserved);
    if (code != 0) {
        std::fprintf(stderr, "tev_version() failed with code %d\n", code);
        return failure_status(code);
    }
    std::printf("[%.*s]\n", bounded_length(name.get(), tevlib_name_size), name.get());
    flush_stdout();

    uint64_t context = 0;
    code = ops.tev_init(version, &context);
    if (code != 0) {
        report_failure(ops, context, code, "tev_init() failed");
        return 1;
    }
    list_disks(ops, context, discovery);
    ops.tev_fini(context);
    return 0;
}

}  // namespace vlm
