#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Walks the main job's road on the real kernel and compares the whole
# transcript with road.expected (dates of ls and the kernel's release
# masked). Status 77 (no QEMU or kernel) is passed on as a skip.
# Usage: road-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build=$2
# shellcheck source=../functions.sh
. "$source_dir/tests/functions.sh"
[ "$(id -u)" -eq 0 ] || unavailable "the main job needs root"
out=$("$source_dir/main-job.sh" --real-kernel --no-build "$build")
status=$?
[ "$status" -eq 77 ] && exit 77
echo "$out"
[ "$status" -eq 0 ] || { fail "main-job.sh --real-kernel ends with 0 ($status)"; exit 1; }
masked=$(sed -E -e 's/^(b[-rwx]{9} .* [0-9]+, +[0-9]+) [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{4,5} /\1 DATE /' \
                -e 's/^Real kernel [^ ]+ /Real kernel RELEASE /' <<<"$out")
expect "the transcript of the walk on the real kernel is road.expected" \
  diff -u "$source_dir/tests/vm/road.expected" - <<<"$masked"
finish
