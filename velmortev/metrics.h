// SPDX-License-Identifier: GPL-2.0-or-later
// Health as Prometheus text: what node_exporter's textfile collector reads.
#pragma once

#include <string>
#include <vector>

#include "velmortev/check.h"
#include "velmortev/pass_record.h"

namespace vlm {

// One look's metrics. INV and FINDINGS are null when the inventory could
// not be taken: only the status and the passes are told then.
std::string metrics_text(severity status, const inventory* inv,
                         const std::vector<finding>* findings,
                         const std::vector<pass_facts>& passes);

// Writes TEXT as DIR/velmortev.prom: a temporary file in DIR, made
// readable to all, synced, then renamed over the old one, so the collector
// never reads half a file. 0 or a negated errno.
int write_textfile(const std::string& dir, const std::string& text);

}  // namespace vlm
