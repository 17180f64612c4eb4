// SPDX-License-Identifier: GPL-2.0-or-later
// The reading verbs: the labelled devices with their identity, map,
// signatures and nodes (list, show), and the effective settings (config),
// as text lines or one JSON document.
#pragma once

#include "velmortev/plan.h"

namespace vlm {

int config_verb(front_run& run);
int list_verb(front_run& run);
// WHAT is a label (checked already) or a device path.
int show_verb(front_run& run, char* what);

}  // namespace vlm
