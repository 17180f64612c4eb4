// SPDX-License-Identifier: GPL-2.0-or-later
// The label-name rules, shared by the label program and the disk node
// program.
#pragma once

#include <cstddef>

namespace vlm {

// The longest label, in bytes.
inline constexpr size_t label_max = 24;

// The label-name rules, applied in place: folds lower-case letters to upper
// case, or ends the process through print_usage with -EINVAL.
void validate_label(char* text);

}  // namespace vlm
