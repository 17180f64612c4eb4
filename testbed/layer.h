// SPDX-License-Identifier: GPL-2.0-or-later
// The testbed layer, loaded with LD_PRELOAD into a program under test. It
// stands in for what this machine lacks and plants faults, steered by
// environment variables that each part describes:
//
//   drivers.cc      the driver's manager filesystem, partition geometry and
//                   partition-table rereads
//   io_faults.cc    faults of the device I/O, and paths swapped at the open
//   allocations.cc  allocation counting and allocation failures
//
// Everything else passes through to the C library unchanged. This header
// holds what the parts share.
#pragma once

#include <dlfcn.h>

#include <string_view>

namespace vlm::testbed {

template <typename F>
F next_symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Calls fn on each element of a list separated by sep.
template <typename Fn>
bool for_each_item(const char* list, char sep, Fn fn) {
    if (!list)
        return false;
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t end = rest.find(sep);
        std::string_view item = rest.substr(0, end);
        if (!item.empty() && fn(item))
            return true;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

// Above 0 while the layer does its own work, whose allocations are not the
// program's.
// Per thread: a program that reads devices in several threads must not see
// one thread's layer calls hide another's allocations.
extern thread_local int layer_depth __attribute__((visibility("hidden")));

// Keeps what this layer allocates for itself out of the count.
struct layer_scope {
    layer_scope() { layer_depth++; }
    ~layer_scope() { layer_depth--; }
    layer_scope(const layer_scope&) = delete;
    layer_scope& operator=(const layer_scope&) = delete;
};

}  // namespace vlm::testbed
