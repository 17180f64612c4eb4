#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a command in a scratch world: fresh loop devices on temporary files,
# a stand-in manager filesystem (a tmpfs with disks/ inside, reported as the
# manager by the testbed layer) and a /proc/partitions that lists only the
# scratch devices. The command runs in a private mount namespace, so neither
# mount is seen outside it. Everything is taken down again when the command
# ends, also after a failure or an interrupt.
#
#   scratch-world.sh [--build DIR] [--disks N] [--size MIB] [--sector-size BYTES]
#                    -- COMMAND [ARGS...]
#
# The command's environment gets:
#   VLM_SCRATCH_DIR       the temporary directory
#   VLM_SCRATCH_DISKS     the loop device paths, separated by spaces
#   VLM_SCRATCH_DISK      the first of them
#   VLM_SCRATCH_MANAGER   the manager's mount point, $VLM_SCRATCH_DIR/manager
#   VLM_TESTBED_MANAGERS, VLM_TESTBED_MANAGER   the same mount point
#   LD_PRELOAD            the testbed layer of the build
#   PATH                  the build's sbin and testbed/bin in front
#   LD_LIBRARY_PATH       the build's testbed directory in front
# The script's exit status is the command's.
set -euo pipefail

me=scratch-world.sh
usage="Usage: $me [--build DIR] [--disks N] [--size MIB] [--sector-size BYTES] -- COMMAND [ARGS...]"

fail() {
  echo "$me: $*" >&2
  exit 1
}

usage_error() {
  echo "$me: $*" >&2
  echo "$usage" >&2
  exit 2
}

positive() {
  [[ $2 =~ ^[1-9][0-9]*$ ]] || usage_error "$1 needs a positive whole number, not '$2'"
}

build="$(dirname "$0")/../build"
disks=1
size=64
sector_size=512
while [ $# -gt 0 ]; do
  case $1 in
    --build|--disks|--size|--sector-size)
      [ $# -ge 2 ] || usage_error "$1 needs an argument"
      case $1 in
        --build) build=$2 ;;
        --disks) positive "$1" "$2"; disks=$2 ;;
        --size) positive "$1" "$2"; size=$2 ;;
        --sector-size) positive "$1" "$2"; sector_size=$2 ;;
      esac
      shift 2 ;;
    --) shift; break ;;
    -h|--help) echo "$usage"; exit 0 ;;
    *) usage_error "unknown argument '$1'" ;;
  esac
done
[ $# -gt 0 ] || usage_error "no command given"

[ "$(id -u)" -eq 0 ] || fail "must run as root (it attaches loop devices and mounts a tmpfs)"
build=$(cd "$build" 2>/dev/null && pwd) || fail "no build directory at '$build'"
layer=$build/testbed/libvlm_testbed.so
[ -f "$layer" ] || fail "no testbed layer at $layer; build the kit first"

dir=$(mktemp -d "${TMPDIR:-/tmp}/vlm-scratch.XXXXXX")

# Detaches by backing file, so that a device attached just before an
# interrupt, before its name was recorded, goes too.
teardown() {
  local status=$? image dev
  trap - EXIT INT TERM HUP
  for image in "$dir"/disk*.img; do
    [ -e "$image" ] || continue
    for dev in $(losetup -n -O NAME -j "$image" 2>/dev/null); do
      losetup -d "$dev" 2>/dev/null || echo "$me: could not detach $dev" >&2
    done
  done
  rm -rf "$dir"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

devices=()
for ((i = 1; i <= disks; i++)); do
  image=$dir/disk$i.img
  truncate -s "${size}M" "$image"
  dev=$(losetup -f --show --sector-size "$sector_size" "$image") ||
    fail "could not attach a loop device to $image"
  devices+=("$dev")
done

# The kernel's own layout of the table, listing only the scratch devices.
{
  printf 'major minor  #blocks  name\n\n'
  for dev in "${devices[@]}"; do
    printf '%4d  %7d %10llu %s\n' "$((16#$(stat -c %t "$dev")))" \
      "$((16#$(stat -c %T "$dev")))" "$((size * 1024))" "${dev#/dev/}"
  done
} >"$dir/partitions"
mkdir "$dir/manager"

# Run without exec: the script stays to tear the world down afterwards.
inside='
  set -eu
  dir=$1 build=$2 layer=$3 disks=$4
  shift 4
  mount -t tmpfs -o mode=0755 vlm-manager "$dir/manager"
  mkdir "$dir/manager/disks"
  mount --bind "$dir/partitions" /proc/partitions
  export VLM_SCRATCH_DIR=$dir
  export VLM_SCRATCH_DISKS=$disks
  export VLM_SCRATCH_DISK=${disks%% *}
  export VLM_SCRATCH_MANAGER=$dir/manager
  export VLM_TESTBED_MANAGERS=$VLM_SCRATCH_MANAGER
  export VLM_TESTBED_MANAGER=$VLM_SCRATCH_MANAGER
  export PATH=$build/sbin:$build/testbed/bin:$PATH
  export LD_LIBRARY_PATH=$build/testbed${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
  export LD_PRELOAD=$layer
  exec "$@"
'
status=0
unshare --mount --propagation private -- \
  bash -c "$inside" "$me" "$dir" "$build" "$layer" "${devices[*]}" "$@" || status=$?
exit "$status"
