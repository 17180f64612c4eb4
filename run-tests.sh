#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the kit and runs every test. Needs root for the loop-device tests.
set -euo pipefail
cd "$(dirname "$0")"
tools/ensure-deps.sh tests reliability vm
# The tests are switched on explicitly: the main job may have configured
# build/ without them.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORTEV_TESTS=ON \
  -DVELMORTEV_WERROR=ON
cmake --build build -j"$(nproc)"
# The plain suite. Its VM tests (labels vm and system) boot Debian's
# current kernel under QEMU, downloaded once into /var/cache/velmortev-vm,
# the system tier with a Debian 12 root made there once with debootstrap.
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 300

# Every fuzz target for a short while (FUZZ_SECONDS each, two side by side).
FUZZ_JOBS=${FUZZ_JOBS:-$(nproc)} fuzz/run.sh all "${FUZZ_SECONDS:-30}"

# The whole suite again, built with AddressSanitizer and UndefinedBehavior-
# Sanitizer. Two scan tests show the program a fixture directory in place of
# /proc, where the sanitizer runtime reads the program's own name and says so
# on standard error before anything can quiet it: they run in the plain pass,
# as do the VM and system tests, which check the kernel's side rather than
# the kit's memory.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORTEV_SANITIZE=ON -DVELMORTEV_WERROR=ON \
  -DVELMORTEV_BENCH=OFF
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan -j"$(nproc)" --output-on-failure --timeout 300 -LE 'vm|system' \
  -E 'ScanProgram\.(DropsIdeCdromAndTapeDrives|MissingTableEndsWithItsError)'
