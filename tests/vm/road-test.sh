#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Walks the main job's road on the real kernel and compares the whole
# transcript with road.expected (dates of ls and the kernel's release
# masked). Status 77 (no QEMU or kernel) is passed on as a skip.
# Usage: road-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build=$2
if [ "$(id -u)" -ne 0 ]; then
  [ "${CI-}" = true ] && { echo "FAIL: the main job needs root"; exit 1; }
  echo "SKIP: the main job needs root"
  exit 77
fi
out=$("$source_dir/main-job.sh" --real-kernel --no-build "$build")
status=$?
[ "$status" -eq 77 ] && exit 77
echo "$out"
[ "$status" -eq 0 ] || { echo "FAIL: main-job.sh --real-kernel ended with $status"; exit 1; }
masked=$(sed -E -e 's/^(b[-rwx]{9} .* [0-9]+, +[0-9]+) [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{4,5} /\1 DATE /' \
                -e 's/^Real kernel [^ ]+ /Real kernel RELEASE /' <<<"$out")
diff -u "$source_dir/tests/vm/road.expected" - <<<"$masked" || { echo "FAIL: the transcript differs"; exit 1; }
echo "the road on the real kernel: transcript as expected"
