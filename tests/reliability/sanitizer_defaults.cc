// SPDX-License-Identifier: GPL-2.0-or-later
// Linked into every executable of the sanitizer build (VELMORTEV_SANITIZE).
//
// The tests and the scratch world load the testbed layer with LD_PRELOAD,
// ahead of the ASan runtime, which would refuse to run behind it: the layer
// only forwards each call to the next definition, ASan's among them, so the
// order is safe and the check is turned off.
//
// Neither function may be instrumented: the runtime's shadow memory is not
// there yet when they are called.
#define NOT_INSTRUMENTED __attribute__((no_sanitize("address", "undefined")))

extern "C" NOT_INSTRUMENTED const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

extern "C" NOT_INSTRUMENTED const char* __ubsan_default_options() { return "print_stacktrace=1"; }
