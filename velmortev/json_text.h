// SPDX-License-Identifier: GPL-2.0-or-later
// The JSON documents of -o json: one per run, on standard output, with the
// version of their layout at the top.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vlm {

// Raised in minor for fields added, in major for fields changed or dropped.
inline constexpr int json_major = 1;
inline constexpr int json_minor = 0;

// A document holding only {"version": {"major": .., "minor": ..}}.
nlohmann::json versioned();

// Puts "label" (the shown form, \xNN for bytes that are not plain text) and
// "label_hex" (the bytes as hexadecimal) into the object.
void put_label(nlohmann::json& object, const std::string& label);

// A label or a node's name as the kit shows it: \xNN for bytes that are not
// plain text.
std::string shown(const std::string& label);

// Writes the document to standard output, followed by a line end; 0, or
// -ENOMEM, with nothing written, when memory ran short while it was made
// (the command's end reports that status, so callers may leave it).
int put_json(const nlohmann::json& doc);

}  // namespace vlm
