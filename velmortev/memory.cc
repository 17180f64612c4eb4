// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/memory.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "frame/frame.h"

namespace vlm {

namespace {

// Enough for a listing of a thousand devices to reach the next check after
// the allocation that failed.
constexpr size_t reserve_size = 4 << 20;

// The handler runs in whichever thread allocates (the inventory reads
// devices in several), so the reserve changes hands atomically.
std::atomic<void*> reserve{nullptr};
std::atomic<bool> ran_short{false};
std::atomic<bool> reported{false};
std::atomic<int> final_status{-ENOMEM};
std::new_handler previous_handler = nullptr;

constexpr char shortage_message[] = "velmortev: Unable to allocate memory\n";

void release_reserve_or_end() {
    if (void* held = reserve.exchange(nullptr)) {
        std::free(held);
        ran_short = true;
        return;
    }
    // Nothing is left to give: end here rather than abort, with no flush
    // of what standard output holds, since its document may be cut short.
    if (!reported.exchange(true)) {
        ssize_t written = write(STDERR_FILENO, shortage_message, sizeof shortage_message - 1);
        (void)written;
    }
    _exit(final_status & 0xff);
}

}  // namespace

memory_reserve::memory_reserve() {
    ran_short = false;
    reported = false;
    final_status = -ENOMEM;
    void* held = std::malloc(reserve_size);
    if (!held) {
        status = -ENOMEM;
        return;
    }
    reserve = held;
    previous_handler = std::set_new_handler(release_reserve_or_end);
}

memory_reserve::~memory_reserve() {
    if (status < 0)
        return;
    std::set_new_handler(previous_handler);
    std::free(reserve.exchange(nullptr));
}

void end_shortage_with(int status) { final_status = status; }

void record_memory_shortage() { ran_short = true; }

int check_memory() {
    if (!ran_short)
        return 0;
    if (!reported.exchange(true))
        error("Unable to allocate memory\n");
    return -ENOMEM;
}

}  // namespace vlm
