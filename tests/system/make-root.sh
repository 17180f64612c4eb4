#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes (once) and prints the path of the Debian 12 root filesystem image
# that the system and cluster tiers boot under QEMU with
# tests/system/boot-vm.sh:
#
#   tests/system/make-root.sh [--cache DIR] [PACKAGE...]
#
# The root is debootstrap's minbase variant of bookworm with systemd,
# systemd-sysv, udev and kmod, the cluster tier's openssh-server and python3,
# multipath-tools for the multipath checks (inert until configured), plus
# the PACKAGEs, and the modules of the real-kernel tier's kernel
# (tests/vm/kernel-lib.sh) in /lib/modules. It is an ext4 image labelled
# vlmroot, cached in the VM cache (/var/cache/velmortev-vm for root) under a
# key made of the package list, the kernel and this recipe's revision; a
# second call with the same list prints the same image at once. The image
# is only ever read: boot-vm.sh boots it with snapshot=on. Every tier asks
# for the same list, so a fresh machine builds one root: the CTest fixture
# vm_cache does it before any tier starts, and says how long it took.
#
# Inside: an empty machine id (a new one each boot), root without a
# password, systemd-networkd with DHCP on every en* link (QEMU user-mode
# networking), and the timers that would start downloads or scrubs during a
# test masked. Needs root (debootstrap) and Debian's archive
# ($VELMORTEV_DEBIAN_MIRROR, else the host's first bookworm source); without
# them the script ends with 77 (skipped), under CI=true with 1.
set -euo pipefail
# Standard output carries one value, the image's path: everything else,
# whatever a tool prints, goes to standard error.
exec 3>&1 1>&2
here=$(cd "$(dirname "$0")" && pwd)
revision=1
suite=bookworm

# shellcheck source=../functions.sh
. "$here/../functions.sh"

cache=
if [ "${1-}" = --cache ]; then
  cache=${2:?--cache needs a directory}
  shift 2
fi
# shellcheck source=../vm/kernel-lib.sh
. "$here/../vm/kernel-lib.sh"
[ "$(id -u)" -eq 0 ] || unavailable "debootstrap needs root"
command -v debootstrap >/dev/null || unavailable "debootstrap is not installed"
command -v mke2fs >/dev/null || unavailable "mke2fs (e2fsprogs) is not installed"
vm_cache "$cache"
vm_kernel

packages=$(printf '%s\n' systemd systemd-sysv udev kmod openssh-server python3 multipath-tools "$@" |
           sort -u | paste -sd, -)
key=$(printf 'revision %s\nsuite %s\nkernel %s\npackages %s\n' "$revision" "$suite" "$abi" "$packages" |
      sha256sum | cut -c1-16)
dir=$cache/root-$key
image=$dir/root.img
exec 8>"$cache/root-$key.lock"
flock 8
if [ -e "$image" ]; then
  echo "$image" >&3
  exit 0
fi

mirror=${VELMORTEV_DEBIAN_MIRROR-}
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri { print uri; exit }')
fi
if [ -z "$mirror" ]; then
  mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
fi
mirror=${mirror:-http://deb.debian.org/debian}

work=$dir.new
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
tree=$work/tree
started=$(date +%s)
echo "make-root.sh: debootstrap $suite ($packages) from $mirror" >&2
debootstrap --variant=minbase --include="$packages" "$suite" "$tree" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || {
  tail -n 20 "$work/debootstrap.log" >&2
  unavailable "debootstrap from $mirror failed (log above)"
}

# The system's own settings for a VM.
echo "LABEL=vlmroot / ext4 defaults 0 0" >"$tree/etc/fstab"
echo velmortev-vm >"$tree/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tvelmortev-vm\n' >"$tree/etc/hosts"
: >"$tree/etc/machine-id"
rm -f "$tree/var/lib/dbus/machine-id"
chroot "$tree" passwd -qd root
mkdir -p "$tree/etc/systemd/network"
printf '[Match]\nName=en*\n\n[Network]\nDHCP=yes\n' >"$tree/etc/systemd/network/80-vm.network"
chroot "$tree" systemctl enable -q systemd-networkd.service
for unit in systemd-firstboot.service apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer \
            fstrim.timer; do
  ln -sf /dev/null "$tree/etc/systemd/system/$unit"
done
chroot "$tree" apt-get clean
# The kernel's modules, at the place modprobe and udev look for them.
mkdir -p "$tree/lib/modules"
cp -al "$modules" "$tree/lib/modules/$abi" 2>/dev/null || cp -a "$modules" "$tree/lib/modules/$abi"

size=$(( $(du -sm "$tree" | cut -f1) + 768 ))
mke2fs -q -t ext4 -L vlmroot -d "$tree" "$work/root.img" "${size}M"
echo "$packages" >"$work/packages"
echo "$abi" >"$work/kernel"
rm -rf "$tree"
rm -rf "$dir"
mv "$work" "$dir"
trap - EXIT
echo "make-root.sh: made $image (${size} MiB) in $(( $(date +%s) - started )) s" >&2
echo "$image" >&3
