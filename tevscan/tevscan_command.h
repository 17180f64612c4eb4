// SPDX-License-Identifier: GPL-2.0-or-later
// The command of tevscan: brings the driver's manager in line with the
// machine's disks in one pass. It asks the kernel to reread the partition
// table of every whole disk, removes every disk node that tevtool no longer
// reports as valid, and creates a node for every partition whose label
// tevtool reports as marked. Every disk operation is one run of tevtool.
#pragma once

#include "lib/owners.h"

namespace vlm {

// The whole command: the options and the pass. Returns the exit status;
// usage errors end the process. It keeps no state between runs.
int tevscan_command(int argc, char** argv);

// Steps of the pass, each one or more runs of tevtool.

// Asks tevtool about one entry of the disks directory. True when the entry
// is to be removed: tevtool says it is gone or invalid, or answers without
// calling it valid. A query that cannot tell keeps the entry.
bool disk_is_invalid(const char* manager, const char* name);

// Removes one entry; returns the outcome: 0, the negated errno of a tool
// that could not run, -EINTR for a killed tool, the wait status of an
// unknown ending, or the tool's exit code.
int delete_disk(const char* manager, const char* name);

// Asks tevtool for the device's label: 0 with the label when the device is
// marked, -ENOMEM, or -ENOENT when it is not (reported where tevscan reports
// it). A device that is not there yet (a table just reread) is asked again
// after waits of 1, 3 and 5 seconds.
int query_marked_label(const char* manager, const char* path, malloc_ptr<char>* label);

// Asks tevtool for the device's label and creates its disk when it has a
// usable one.
// A device that is not there yet (a table just reread) is asked again after
// waits of 1, 3 and 5 seconds.
void instantiate_if_marked(const char* manager, const char* path);

}  // namespace vlm
