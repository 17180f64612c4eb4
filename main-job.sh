#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The main job: builds the kit, then walks one disk along its whole road
# through the kit, step by step, on the testbed's scratch world, and lets
# tevscan do the same for all disks at once. Loop devices, mounts and
# temporary files all live and die with the scratch world.
#
# Usage: sudo ./main-job.sh                   build in build/ and walk the road
#        sudo ./main-job.sh --no-build DIR    walk it with the kit built in DIR
#        sudo ./main-job.sh --real-kernel [--no-build DIR]
#                                             walk it in a VM on a real kernel
#                                             (tests/vm/road.sh)
#        sudo ./main-job.sh --real-system [--no-build DIR]
#                                             walk it on a booted Debian system
#                                             with the kit's package
#                                             (tests/system/road.sh)
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD
# step: the explanation, the command as typed, its output.
# shellcheck source=tests/functions.sh
. "$top/tests/functions.sh"

# Inside the scratch world: the road itself. Two loop devices: the first
# plays the whole disk, the second its partition (the testbed gives it a
# start sector, which is what makes a device a partition).
walk_the_road() {
  local disk part manager
  read -r disk part _ <<<"$VLM_SCRATCH_DISKS"
  manager=$VLM_SCRATCH_MANAGER
  export VLM_TESTBED_GEOMETRY="$part=2048"
  export VLM_TESTBED_RRPART_LOG="$VLM_SCRATCH_DIR/rrpart.log"
  : >"$VLM_TESTBED_RRPART_LOG"
  [ -n "${MAIN_JOB_SCRATCH_NOTE-}" ] && echo "$VLM_SCRATCH_DIR" >"$MAIN_JOB_SCRATCH_NOTE"

  echo "Scratch world: $disk plays the whole disk, $part its partition (start"
  echo "sector 2048), the manager filesystem is mounted on $manager."

  step "Is $part a candidate for a label? A partition not in use is: status 0." \
    "velmortev-candidate-p -v $part && echo candidate"
  step "The whole disk passes too, but only because loop is among the drivers whose whole devices may carry a label." \
    "velmortev-candidate-p -v $disk && echo candidate"
  step "Label the partition data1: stored upper-case, in its first logical block." \
    "velmortev-write-label $part data1"
  step "Ask the kernel to reread the partition table of the whole disk." \
    "echo $disk | velmortev-reload-partitions"
  step "The testbed logged that reread request (MAJOR:MINOR of the whole disk)." \
    "cat $VLM_TESTBED_RRPART_LOG"
  step "List the candidate partitions in scan order; the partition is among them." \
    "velmortev-scan-partitions"
  step "Read the label back: LABEL:DEVICE." \
    "velmortev-read-label $part"
  step "Create the disk node DATA1 in the manager filesystem, with the partition's device number." \
    "velmortev-instantiate-disk -l $manager $part DATA1"
  step "There it is." \
    "ls -l $manager/disks"
  step "The access library discovers the disk." \
    "velmortev-discover"
  step "Remove the disk node again." \
    "velmortev-clean-disk -l $manager DATA1"
  : >"$VLM_TESTBED_RRPART_LOG"
  step "tevscan does the rereading, cleaning and instantiating for all disks at once, through tevtool." \
    "tevscan -l $manager"
  step "It asked for the whole disk's table to be reread, and left the partition alone." \
    "cat $VLM_TESTBED_RRPART_LOG"
  step "It found the partition marked with its label and created the node." \
    "ls -l $manager/disks"
  step "A second pass finds the node valid and keeps it; the create finds it there already." \
    "tevscan -l $manager"
  step "Clear the partition's label: the node now stands for a disk that is no longer labelled." \
    "velmortev-write-label -d $part"
  step "The next pass finds the node invalid and cleans it away." \
    "tevscan -l $manager"
  step "The manager is empty again, as we found it." \
    "ls -l $manager/disks"
  echo
  echo "The road is walked; the scratch world goes away now."
}

# Builds what the road needs, and nothing more: the kit and the testbed's
# layer, library and tool; no tests, so no GoogleTest. A fresh build tree is
# configured without the tests; an existing one keeps its settings. Shows
# each build step; the whole log when something fails.
build_kit() {
  local options=(-DVELMORTEV_TESTBED=ON)
  [ -f build/CMakeCache.txt ] || options+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORTEV_TESTS=OFF)
  echo "Building the kit and the testbed in build/ ..."
  if ! { tools/ensure-deps.sh main &&
         cmake -S . -B build "${options[@]}" &&
         cmake --build build -j"$(nproc)" --target main_job_kit; } 2>&1 | tee "$log" |
       { grep --line-buffered -E '^\[ *[0-9/]+%?\] (Building|Linking)|^installing:' || true; }; then
    cat "$log"
    echo "main-job.sh: the build failed" >&2
    exit 1
  fi
  echo "Built: $(cd build/sbin && echo *)"
}

if [ "${1-}" = --inside-scratch-world ]; then
  walk_the_road
  exit 0
fi

real_kernel='' real_system=''
if [ "${1-}" = --real-kernel ]; then
  real_kernel=yes
  shift
elif [ "${1-}" = --real-system ]; then
  real_system=yes
  shift
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "main-job.sh needs root: it attaches loop devices and mounts a scratch" >&2
  echo "manager in a private mount namespace. Run it as: sudo ./main-job.sh" >&2
  exit 1
fi

log=$(mktemp)
note=$(mktemp)
trap 'rm -f "$log" "$note"' EXIT

build=$top/build
if [ "${1-}" = --no-build ]; then
  build=$(cd "${2:?--no-build needs the build directory}" && pwd)
else
  build_kit
fi

if [ -n "$real_system" ]; then
  # The package is made from the whole build tree: the man pages and the
  # compressed README too.
  cmake --build "$build" -j"$(nproc)" >"$log" 2>&1 || { cat "$log"; exit 1; }
  tools/ensure-vm-deps.sh
  echo "Booting a Debian 12 system with systemd in a VM (QEMU) ..."
  status=0
  tests/system/system-test.sh "$build" tests/system/road.sh || status=$?
  exit "$status"
fi

if [ -n "$real_kernel" ]; then
  tools/ensure-vm-deps.sh
  echo "Booting Debian's current kernel in a VM (QEMU) ..."
  status=0
  tests/vm/run-vm.sh --build "$build" tests/vm/road.sh || status=$?
  exit "$status"
fi

MAIN_JOB_SCRATCH_NOTE=$note "$top/testbed/scratch-world.sh" --build "$build" --disks 2 --size 64 -- \
  "$top/main-job.sh" --inside-scratch-world

# The scratch world has gone: its directory, and every loop device on it.
scratch=$(cat "$note")
if [ -n "$scratch" ] && { [ -e "$scratch" ] || losetup -a | grep -qF "$scratch"; }; then
  echo "main-job.sh: the scratch world $scratch was not cleaned up" >&2
  exit 1
fi
echo "The machine is as it was: no loop device, mount or file of the job is left."
