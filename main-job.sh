#!/usr/bin/env bash
# Builds the kit and walks one scratch disk through labelling, reading and
# clearing, on a loop device attached to a temporary file.
set -euo pipefail
cd "$(dirname "$0")"
if [ "$(id -u)" -ne 0 ]; then
  echo "main-job.sh: needs root (it attaches a loop device); run it with sudo" >&2
  exit 1
fi
tools/ensure-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
sbin=$PWD/build/sbin
dir=$(mktemp -d)
dev=
cleanup() { [ -n "$dev" ] && losetup -d "$dev"; rm -rf "$dir"; }
trap cleanup EXIT
truncate -s 64M "$dir/disk.img"
dev=$(losetup -f --show "$dir/disk.img")
step() { echo; echo "# $1"; shift; echo "\$ $*"; "$@" || echo "(exit status $?)"; }
step "Label the scratch disk data1 (stored upper-case)" "$sbin/velmortev-write-label" "$dev" data1
step "Read the label back" "$sbin/velmortev-read-label" "$dev"
step "A second label is refused without -f" "$sbin/velmortev-write-label" "$dev" other
step "Clear the label" "$sbin/velmortev-write-label" -d "$dev"
step "Nothing to read now" "$sbin/velmortev-read-label" "$dev"
