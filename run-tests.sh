#!/usr/bin/env bash
# Builds the kit and runs every test. Needs root for the loop-device tests.
set -euo pipefail
cd "$(dirname "$0")"
tools/ensure-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 300
