// SPDX-License-Identifier: GPL-2.0-or-later
// The scan verb: tevscan's pass on every manager with the configured scan
// order and exclude patterns, or, with --dry-run, what that pass would
// remove and create, asked of tevtool as the pass asks it.
#pragma once

#include "velmortev/plan.h"

namespace vlm {

// Replaces this process with tevscan for the last manager; returns only on
// a failure before that.
int scan_pass(const front_run& run);
int scan_plan(const front_run& run);

}  // namespace vlm
