// SPDX-License-Identifier: GPL-2.0-or-later
#include "discover/tevlib.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <type_traits>

#include "lib/standard_streams.h"

namespace vlm {

namespace {

constexpr const char* library_path_format = "/opt/velmor/extapi/%d/tev/vlmr/1/%s";
constexpr const char* library_file = "libtev.so";
constexpr int library_word_size = 64;

// Stores one looked-up address in its typed slot.
template <auto slot>
void store(tevlib_ops* ops, void* address) {
    using slot_type = std::remove_reference_t<decltype(ops->*slot)>;
    ops->*slot = reinterpret_cast<slot_type>(address);
}

struct entry_point {
    const char* name;
    void (*store)(tevlib_ops*, void*);
};

constexpr entry_point entry_points[] = {
    {"tev_version", store<&tevlib_ops::tev_version>},
    {"tev_init", store<&tevlib_ops::tev_init>},
    {"tev_fini", store<&tevlib_ops::tev_fini>},
    {"tev_discover", store<&tevlib_ops::tev_discover>},
    {"tev_fetch", store<&tevlib_ops::tev_fetch>},
    {"tev_open", store<&tevlib_ops::tev_open>},
    {"tev_close", store<&tevlib_ops::tev_close>},
    {"tev_error", store<&tevlib_ops::tev_error>},
    {"tev_ioerror", store<&tevlib_ops::tev_ioerror>},
    {"tev_io", store<&tevlib_ops::tev_io>},
    {"tev_cancel", store<&tevlib_ops::tev_cancel>},
    {"tev_integrity_string", store<&tevlib_ops::tev_integrity_string>},
};

// The fixed place first, then the bare name along the loader's own search
// rules. The handle is never closed: the library stays loaded for the rest
// of the process.
void* load_tevlib() {
    char path[4096];
    std::snprintf(path, sizeof path - 1, library_path_format, library_word_size, library_file);
    // The line is written out at once, so that in a combined log the errors
    // of the binding and the discovery come after it.
    if (void* handle = dlopen(path, RTLD_LAZY)) {
        std::printf("Using TEVLib from %s\n", path);
        flush_stdout();
        return handle;
    }
    if (void* handle = dlopen(library_file, RTLD_LAZY)) {
        std::printf("Using TEVLib from LD_LIBRARY_PATH\n");
        flush_stdout();
        return handle;
    }
    std::fprintf(stderr, "Unable to open TEVLib\n");
    return nullptr;
}

}  // namespace

int bind_tevlib(tevlib_ops* ops) {
    void* handle = load_tevlib();
    if (!handle)
        return -ENOENT;
    for (const entry_point& entry : entry_points) {
        void* address = dlsym(handle, entry.name);
        entry.store(ops, address);
        if (!address) {
            std::fprintf(stderr, "Unable to find %s\n", entry.name);
            return -ENOENT;
        }
    }
    return 0;
}

}  // namespace vlm
