#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what the VM tests (tests/vm, tests/system) need, when missing:
# QEMU, a static busybox, cpio, kmod, dmsetup, debootstrap and e2fsprogs
# (the system tier's Debian root), and the headers of the kernel that
# linux-image-amd64 stands for today (with Debian's compiler for them). The
# kernel itself is never installed: tests/vm/run-vm.sh unpacks it into a
# cache. Outside CI a failure here only means the VM tests skip themselves;
# under CI=true it is an error.
set -uo pipefail

give_up() {
  echo "ensure-vm-deps.sh: $*" >&2
  [ "${CI-}" = true ] && exit 1
  echo "ensure-vm-deps.sh: the VM tests will be skipped" >&2
  exit 0
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

abi_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: linux-image-\([0-9].*-amd64\)$/linux-headers-\1/p' | head -n1
}

export DEBIAN_FRONTEND=noninteractive
packages=(qemu-system-x86 busybox-static cpio kmod dmsetup make debootstrap e2fsprogs)
headers=$(abi_package)
if [ -z "$headers" ] && [ "$(id -u)" -eq 0 ]; then
  flock /tmp/apt.lock apt-get update -qq
  headers=$(abi_package)
fi
[ -n "$headers" ] || give_up "apt cannot resolve linux-image-amd64"
packages+=("$headers")

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
[ "$(id -u)" -eq 0 ] || give_up "missing packages: ${missing[*]} (run as root to install them)"
echo "installing for the VM tests: ${missing[*]}"
if ! flock /tmp/apt.lock apt-get install -y -qq "${missing[@]}"; then
  # Stale package lists: the kernel may have moved on to a new ABI.
  flock /tmp/apt.lock apt-get update -qq
  headers=$(abi_package)
  missing=()
  for p in "${packages[@]:0:${#packages[@]}-1}" "$headers"; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] ||
    flock /tmp/apt.lock apt-get install -y -qq "${missing[@]}" || give_up "cannot install ${missing[*]}"
fi
