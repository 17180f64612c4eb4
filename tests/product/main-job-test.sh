#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Walks the main job's road with the kit of this build tree and checks that
# every step reached its mark and that nothing of the job was left behind.
# Usage: main-job-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build=$2
if [ "$(id -u)" -ne 0 ]; then
  [ "${CI-}" = true ] && { echo "FAIL: the main job needs root"; exit 1; }
  echo "SKIP: the main job needs root"
  exit 0
fi
out=$("$source_dir/main-job.sh" --no-build "$build" 2>&1)
status=$?
echo "$out"
failures=0
[ "$status" -eq 0 ] || { echo "FAIL: main job ended with $status"; failures=$((failures + 1)); }
for mark in \
  '^DATA1:/dev/loop[0-9]*$' \
  '^/dev/loop[0-9]*$' \
  '^b.* DATA1$' \
  '^Discovered disk: DATA1 ' \
  '^Instantating disk "DATA1"$' \
  '^Cleaning disk "DATA1"$' \
  '^The machine is as it was'; do
  grep -q "$mark" <<<"$out" || { echo "FAIL: no line matching $mark"; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ] && echo "main job: every step reached its mark"
[ "$failures" -eq 0 ]
