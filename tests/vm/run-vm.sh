#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a guest script inside a VM on Debian's current kernel, against real
# kernel objects: virtual SCSI (scsi_debug) and NVMe disks, loop, ramdisk,
# device-mapper and md devices, and the manager-type filesystem of
# tests/vm/module. Nothing of the host is touched: the kernel package is
# unpacked into a cache directory, never installed, and every device lives
# inside the VM.
#
# Usage: tests/vm/run-vm.sh --build DIR [--cache DIR] GUEST-SCRIPT [ARG...]
#
# The guest script runs as the VM's init, sourced after tests/functions.sh
# and guest-lib.sh (busybox sh), with the kit of DIR/sbin, the
# testbed's tevtool and libtev.so, the module and busybox; its output
# (standard output and error) becomes this script's standard output as it
# is written, its status this script's status. Without QEMU, busybox-static,
# the kernel package or its headers the run is skipped with status 77,
# unless CI=true: then it fails.
#
# Cache: --cache, or $VELMORTEV_VM_CACHE, or /var/cache/velmortev-vm for root
# and ${XDG_CACHE_HOME:-~/.cache}/velmortev-vm for others. It keeps the
# downloaded kernel package and its unpacked tree, one per ABI.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../functions.sh
. "$here/../functions.sh"

usage() {
  echo "Usage: tests/vm/run-vm.sh --build DIR [--cache DIR] GUEST-SCRIPT [ARG...]" >&2
  exit 2
}

build='' cache=${VELMORTEV_VM_CACHE-}
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "${2:?}" && pwd); shift 2 ;;
    --cache) cache=${2:?}; shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ -n "$build" ] && [ $# -ge 1 ] || usage
guest_script=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift

busybox=/bin/busybox
[ -x $busybox ] && ! ldd $busybox >/dev/null 2>&1 || unavailable "busybox-static is not installed"
# shellcheck source=kernel-lib.sh
. "$here/kernel-lib.sh"
vm_cache "$cache"
vm_kernel
vm_manager_module "$build"

for file in "$build"/sbin/velmortev-candidate-p "$build"/testbed/bin/tevtool "$build"/testbed/libtev.so; do
  [ -e "$file" ] || { echo "run-vm.sh: $file is missing: build the kit first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velmortev-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,mnt,etc,kit/sbin,kit/bin,kit/lib,vm,lib/modules}

# The shared libraries a program needs, at the paths the loader knows.
copy_libraries() {
  local lib
  for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}

cp $busybox "$root/bin/busybox"
cp -a "$build"/sbin/. "$root/kit/sbin/"
for program in "$root"/kit/sbin/*; do
  [ -L "$program" ] || copy_libraries "$program"
done
cp "$build/testbed/bin/tevtool" "$root/kit/bin/tevtool"
cp "$build/testbed/libtev.so" "$root/kit/lib/libtev.so"
copy_libraries "$build/testbed/bin/tevtool"
copy_libraries "$build/testbed/libtev.so"
dmsetup=$(command -v dmsetup || true)
if [ -n "$dmsetup" ]; then
  cp "$dmsetup" "$root/bin/dmsetup"
  copy_libraries "$dmsetup"
fi

# The modules the guest may load, each with its dependencies, in load order.
vm_plain_modules "$root/lib/modules/$abi" "$root/etc/modules.order" \
  scsi_debug sd_mod nvme loop brd dm-mod md-mod linear msdos nls_cp437
cp "$module_ko" "$root/lib/modules/$abi/vlmmgr.ko"
echo "vlmmgr vlmmgr.ko" >>"$root/etc/modules.order"

cp "$here/../functions.sh" "$here/guest-lib.sh" "$root/vm/"
cp "$guest_script" "$root/vm/guest.sh"
printf '%q ' "$@" >"$root/vm/args"
cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/kit/sbin:/kit/bin:/bin KERNEL_ABI=$abi
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo 1 >/proc/sys/kernel/printk
cd /tmp
eval "set -- \$(cat /vm/args)"
sh -c '. /vm/functions.sh; . /vm/guest-lib.sh; . /vm/guest.sh' guest "\$@" >/dev/ttyS1 2>&1
echo "velmortev-vm: status \$?" >/dev/ttyS1
sync
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The NVMe namespace's backing file: 64 MiB of 4096-byte blocks, sparse.
truncate -s 64M "$work/nvme.img"
accel=${VELMORTEV_VM_ACCEL:-$(vm_accel)}
# The guest's output comes over the second serial port as it is written.
status=0
timeout "${VELMORTEV_VM_TIMEOUT:-280}" qemu-system-x86_64 -accel "$accel" -m 512 -smp 1 \
  -nodefaults -display none -no-reboot \
  -serial "file:$work/console.log" -serial stdio \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1" \
  -drive "file=$work/nvme.img,if=none,id=nv,format=raw" \
  -device nvme,drive=nv,serial=vlm0,logical_block_size=4096,physical_block_size=4096 \
  </dev/null 2>"$work/qemu.log" | sed -u -e 's/\r$//' -e "w $work/output.txt" \
  -e '/^velmortev-vm: status [0-9]*$/d' || status=$?

last=$(tail -n1 "$work/output.txt")
case $last in
  "velmortev-vm: status "*) exit "${last##* }" ;;
esac
echo "run-vm.sh: the VM ended without the guest's status (qemu status $status)" >&2
vm_show_end 30 "$work/console.log" "$work/qemu.log" >&2
exit 1
