#!/usr/bin/env bash
# Installs the Debian packages the kit needs to build and test, when missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev util-linux mount)
# Man page checks (groff, man) and the Debian package (dpkg-shlibdeps, file, readelf).
packages+=(groff-base man-db dpkg-dev file binutils)
# The leak and descriptor checks, and the fuzz targets (clang with libFuzzer).
packages+=(valgrind clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# The Ansible collection's tests (ansible/tests/): Debian's ansible-core, their
# fallback when pip cannot reach the Python package registry, without the
# bundle of collections it recommends; python3-venv for their Python
# environment; shellcheck and python3-voluptuous for the sanity checks.
ansible_missing=()
for p in ansible-core python3-venv shellcheck python3-voluptuous; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || ansible_missing+=("$p")
done
if [ ${#ansible_missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${ansible_missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${ansible_missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${ansible_missing[@]}"
fi
