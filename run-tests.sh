#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the kit and runs every test: about 27 minutes on two cores. Needs
# root for the loop-device tests. Each stage is announced with its start and
# ends with its duration; the last lines sum up every stage. The first stage
# that fails ends the run (status 1).
set -euo pipefail
cd "$(dirname "$0")"
if [ "$(id -u)" -ne 0 ]; then
  echo "run-tests.sh: must be run as root (loop devices, mounts); try: sudo ./run-tests.sh" >&2
  exit 1
fi

summary=()
# stage NAME COMMAND...: runs one stage, timed, and keeps its summary line.
stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  local took=$((SECONDS - start))
  local line
  line=$(printf '%-24s %s  %dm%02ds' "$name" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" \
    $((took / 60)) $((took % 60)))
  summary+=("$line")
  echo "=== $name: $([ "$status" -eq 0 ] && echo 'done' || echo "failed with status $status") in ${took}s"
  if [ "$status" -ne 0 ]; then
    print_summary
    exit 1
  fi
}
print_summary() {
  echo "=== summary"
  printf '%s\n' "${summary[@]}"
}

jobs=$(nproc)
stage "dependencies" tools/ensure-deps.sh tests reliability vm
# The tests are switched on explicitly: the main job may have configured
# build/ without them.
stage "configure" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORTEV_TESTS=ON \
  -DVELMORTEV_WERROR=ON
stage "build" cmake --build build -j"$jobs"
# The plain suite. Its VM tests (labels vm, system and cluster) boot
# Debian's current kernel under QEMU, downloaded once into
# /var/cache/velmortev-vm; the system and cluster tiers boot a Debian 12
# root made there once with debootstrap.
stage "tests" ctest --test-dir build -j"$jobs" --output-on-failure --timeout 300

# Every fuzz target for a short while (FUZZ_SECONDS each, side by side);
# run.sh shows the build of the targets before it runs them.
stage "fuzz" env FUZZ_JOBS="${FUZZ_JOBS:-$jobs}" fuzz/run.sh all "${FUZZ_SECONDS:-30}"

# The whole suite again, built with AddressSanitizer and UndefinedBehavior-
# Sanitizer. Two scan tests show the program a fixture directory in place of
# /proc, where the sanitizer runtime reads the program's own name and says so
# on standard error before anything can quiet it: they run in the plain pass,
# as do the VM, system and cluster tiers, which check the kernel's side
# rather than the kit's memory.
stage "sanitizer configure" cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORTEV_SANITIZE=ON -DVELMORTEV_WERROR=ON -DVELMORTEV_BENCH=OFF
stage "sanitizer build" cmake --build build-asan -j"$jobs"
stage "sanitizer tests" ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 300 \
  -LE 'vm|system|cluster' -E 'ScanProgram\.(DropsIdeCdromAndTapeDrives|MissingTableEndsWithItsError)'

print_summary
