#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Walks the main job's road with the kit of this build tree and checks that
# every step reached its mark and that nothing of the job was left behind.
# Usage: main-job-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build=$2
# shellcheck source=../functions.sh
. "$source_dir/tests/functions.sh"
[ "$(id -u)" -eq 0 ] || unavailable "the main job needs root"
out=$("$source_dir/main-job.sh" --no-build "$build" 2>&1)
status=$?
echo "$out"
expect "the main job ends with 0 ($status)" test "$status" -eq 0
for mark in \
  '^DATA1:/dev/loop[0-9]*$' \
  '^/dev/loop[0-9]*$' \
  '^b.* DATA1$' \
  '^Discovered disk: DATA1 ' \
  '^Instantating disk "DATA1"$' \
  '^Cleaning disk "DATA1"$' \
  '^The machine is as it was'; do
  expect "a line matches $mark" grep -q "$mark" <<<"$out"
done
finish "the main job's steps"
