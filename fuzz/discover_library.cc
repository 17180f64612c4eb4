// SPDX-License-Identifier: GPL-2.0-or-later
// What velmortev-discover reads from the library: codes, the library's name,
// error texts and fetched disk records, all made from the input and none of
// them trusted to be terminated. The run prints within the fields, closes
// the context exactly when it opened one, and ends with the status the
// failing call decides.
#include <cstring>
#include <string>

#include "discover/discover.h"
#include "harness.h"

using namespace vlm;

namespace {

// The input, handed out piece by piece to the library's answers.
struct source {
    const uint8_t* data;
    size_t size;
    size_t at;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    void fill(void* out, size_t n) {
        size_t take = std::min(n, size - at);
        std::memcpy(out, data + at, take);
        at += take;
    }
};

source input;
int fini_calls;
int fetches;

// A code of 0 most of the time, so that runs go deep.
int32_t code() {
    uint8_t b = input.byte();
    return b < 0xc0 ? 0 : int32_t(b) - 0xc0 - 20;
}

int32_t fake_version(uint32_t*, uint64_t* version, char* name, uint32_t size, uint32_t*) {
    input.fill(version, sizeof *version);
    input.fill(name, std::min<size_t>(size, input.byte()));
    return code();
}
int32_t fake_init(uint64_t, uint64_t* context) {
    *context = 42;
    return code();
}
void fake_fini(uint64_t context) {
    fuzz::require(context == 42, "tev_fini with a foreign context");
    fini_calls++;
}
int32_t fake_discover(uint64_t, const char*) { return code(); }
int32_t fake_fetch(uint64_t, unsigned char* record) {
    // Runs always end: after the input, every record says "no disk".
    if (++fetches > 64 || input.at >= input.size) {
        std::memset(record + fetched_block_size, 0, 4);
        return 0;
    }
    int32_t c = code();
    size_t from = input.byte() % fetched_disk_size;
    input.fill(record + from, std::min<size_t>(fetched_disk_size - from, input.byte() * 2));
    return c;
}
void fake_error(uint64_t, int32_t, char* text, uint32_t size) {
    input.fill(text, std::min<size_t>(size, input.byte() * 8));
}
const char* fake_integrity(int32_t kind) {
    static const char* texts[] = {"none", "crc", "(unknown)"};
    return kind % 4 == 3 ? nullptr : texts[kind % 4 % 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input = {data, size, 0};
    fini_calls = 0;
    fetches = 0;
    tevlib_ops ops = {};
    ops.tev_version = fake_version;
    ops.tev_init = fake_init;
    ops.tev_fini = fake_fini;
    ops.tev_discover = fake_discover;
    ops.tev_fetch = fake_fetch;
    ops.tev_error = fake_error;
    ops.tev_integrity_string = fake_integrity;

    int status;
    {
        fuzz::redirected_streams streams;
        status = run_discovery(ops, "VLMR:*");
    }
    // Only a run that opened a context ends with 0, and it closed it once.
    fuzz::require(fini_calls == (status == 0 ? 1 : 0), "context closed wrongly");
    fuzz::require((status & 0xff) != 0 || status == 0, "a failure that the shell sees as success",
                  std::to_string(status));
    return 0;
}
