// SPDX-License-Identifier: GPL-2.0-or-later
// Running out of memory in the front end. It is built without exceptions,
// so a standard container or the JSON library that cannot allocate would
// end the process with abort. Instead the command holds a reserve while it
// runs: when an allocation fails, the handler gives the reserve back and
// records the shortage, and the allocation succeeds on its retry. The steps
// ask before each write, and the command at its end, and answer -ENOMEM:
// nothing is written once memory ran short. A second shortage, with the
// reserve gone, ends the process at once with the message and -ENOMEM's
// status.
#pragma once

namespace vlm {

// Takes the reserve and installs the handler; gives the reserve back and
// restores the previous handler when it goes. status is -ENOMEM when the
// reserve could not be taken (the handler is then not installed).
struct memory_reserve {
    int status = 0;
    memory_reserve();
    ~memory_reserve();
    memory_reserve(const memory_reserve&) = delete;
    memory_reserve& operator=(const memory_reserve&) = delete;
};

// The status the process ends with when memory runs short with the reserve
// gone: -ENOMEM's, unless the command answers with other statuses.
void end_shortage_with(int status);

// Records a shortage that a step met without the handler (an allocation
// with an outcome of its own, a library's), for check_memory.
void record_memory_shortage();

// 0, or -ENOMEM when memory ran short since the reserve was taken; the
// first call that finds the shortage prints "Unable to allocate memory".
int check_memory();

}  // namespace vlm
