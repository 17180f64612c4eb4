#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs scratch-world.sh as its users do and checks the world it sets up and
# that nothing of it is left afterwards: no loop device, no directory, no
# mount, also after a failing command and after an interrupt.
#   scratch-world-test.sh BUILD_DIR
set -uo pipefail

build=$1
world="$(cd "$(dirname "$0")/.." && pwd)/scratch-world.sh"
# shellcheck source=../../tests/functions.sh
. "$(dirname "$0")/../../tests/functions.sh"
[ "$(id -u)" -eq 0 ] || unavailable "the scratch world needs root"

notes=$(mktemp -d)
trap 'rm -rf "$notes"' EXIT

# Nothing of a finished world may remain: the directory, a loop device on one
# of its files, or a mount below it.
left_nothing() {
  local dir=$1
  [ -n "$dir" ] && [ ! -e "$dir" ] &&
    ! losetup -a | grep -qF "$dir/" &&
    ! grep -qF "$dir" /proc/self/mountinfo
}

# The checks made inside the world; it leaves its directory's name in $notes.
inside='
  fail() { echo "inside: $*" >&2; exit 99; }
  notes=$1 build=$2 m=$VLM_SCRATCH_MANAGER
  echo "$VLM_SCRATCH_DIR" >"$notes/dir"
  set -- $VLM_SCRATCH_DISKS
  [ $# -eq 2 ] && [ "$VLM_SCRATCH_DISK" = "$1" ] || fail "disks: $VLM_SCRATCH_DISKS"
  table="major minor  #blocks  name\n\n"
  for dev in "$@"; do
    [ "$(blockdev --getss "$dev")" = 4096 ] || fail "sector size of $dev"
    table+=$(printf "%4d  %7d %10llu %s" $((16#$(stat -c %t $dev))) $((16#$(stat -c %T $dev))) \
             8192 ${dev#/dev/})"\n"
  done
  [ "$(cat /proc/partitions)" = "$(printf "$table")" ] || fail "$(cat /proc/partitions)"
  [ "$m:$VLM_TESTBED_MANAGERS:$VLM_TESTBED_MANAGER" = "$VLM_SCRATCH_DIR/manager:$m:$m" ] ||
    fail "manager variables"
  [ "$(findmnt -n -o FSTYPE "$m")" = tmpfs ] && [ -d "$m/disks" ] || fail "no tmpfs manager"
  [ "$(stat -f -c %t "$m")" = 958459f6 ] || fail "testbed layer does not report the manager"
  case $PATH in "$build/sbin:$build/testbed/bin:"*) ;; *) fail "PATH=$PATH" ;; esac
  case $LD_LIBRARY_PATH in "$build/testbed"|"$build/testbed:"*) ;; *) fail "LD_LIBRARY_PATH" ;; esac
  [ "$LD_PRELOAD" = "$build/testbed/libvlm_testbed.so" ] || fail "LD_PRELOAD=$LD_PRELOAD"
  velmortev-instantiate-disk -l "$m" "$VLM_SCRATCH_DISK" data1 && [ -b "$m/disks/DATA1" ] &&
    velmortev-clean-disk -l "$m" data1 && [ ! -e "$m/disks/DATA1" ] || fail "instantiate and clean"
  exit 7
'
"$world" --build "$build" --disks 2 --size 8 --sector-size 4096 -- \
  bash -c "$inside" inside "$notes" "$(cd "$build" && pwd)"
status=$?
expect "the command's status is the script's (7, got $status)" [ "$status" -eq 7 ]
dir=$(cat "$notes/dir" 2>/dev/null)
expect "a finished world leaves nothing behind ($dir)" left_nothing "$dir"

# A command that cannot be started.
"$world" --build "$build" -- /nonexistent/command 2>/dev/null
expect "a command that is not there gives 127" [ $? -eq 127 ]

# While the command runs its mounts are not seen outside; an interrupt, as
# Ctrl-C delivers it to the whole process group, still takes the world down.
rm -f "$notes/dir"
set -m
"$world" --build "$build" -- bash -c 'echo "$VLM_SCRATCH_DIR" >"$1/dir"; sleep 30' x "$notes" &
job=$!
set +m
for _ in $(seq 100); do
  [ -s "$notes/dir" ] && break
  sleep 0.1
done
dir=$(cat "$notes/dir" 2>/dev/null)
expect "the world's mounts stay in its namespace" bash -c "! grep -qF '$dir' /proc/self/mountinfo"
kill -INT -- "-$job"
wait "$job"
status=$?
expect "an interrupted world ends with 130 (got $status)" [ "$status" -eq 130 ]
expect "an interrupted world leaves nothing behind ($dir)" left_nothing "$dir"

out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$world" --build "$build" -- true 2>&1)
status=$?
expect "refuses to run without root" [ "$status" -eq 1 ]
expect "says why without root ($out)" [ "$out" = "scratch-world.sh: must run as root (it attaches loop devices and mounts a tmpfs)" ]
finish "the scratch world"
