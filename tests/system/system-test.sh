#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The system tier: the kit's .deb, built from the build tree, on a booted
# Debian 12 system under QEMU (make-root.sh, boot-vm.sh):
#
#   tests/system/system-test.sh BUILD_DIR [GUEST_SCRIPT [DISKS]]
#
# The guest gets the package (installed with dpkg by setup.sh before
# systemd starts), the testbed's tevtool on PATH and its TEVLib where the
# driver installs the library, the manager-type module
# loaded by modules-load.d and mounted by fstab on /mnt/velmor and
# /mnt/other, and one of two sets of virtual disks. DISKS "events" (the
# default): a second virtio disk, an NVMe namespace whose driver comes late,
# and a virtio-scsi controller with 33 LUNs of 2 MiB and one of 3 MiB whose
# driver comes when the guest script loads it. DISKS "multipath": one image
# behind two SCSI devices with the same WWN and serial (a third path ready
# for device_add), a virtio disk for a clone of it (QEMU id "clone", for
# device_del and device_add) and a blank virtio disk; multipath-setup.sh
# prepares the guest for them, and the host's promtool (Debian package
# prometheus), when there, judges the metrics in the guest. GUEST_SCRIPT (default
# checks.sh) runs after multi-user.target, sourced after tests/functions.sh,
# tests/vm/guest-lib.sh and system-lib.sh (by dash); its lines are this
# script's output and its status this script's status. Skipped (77)
# without QEMU, the kernel or the archive, failed under CI=true.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?Usage: system-test.sh BUILD_DIR [GUEST_SCRIPT [DISKS]]}" && pwd)
guest_script=${2:-$here/checks.sh}
disk_set=${3:-events}
luns=33
# shellcheck source=../functions.sh
. "$here/../functions.sh"
# shellcheck source=../vm/kernel-lib.sh
. "$here/../vm/kernel-lib.sh"
vm_cache
vm_kernel
vm_manager_module "$build"
started=$(date +%s)
status=0
image=$("$here/make-root.sh") || status=$?
[ $status -eq 0 ] || exit $status
prepared=$(date +%s)

work=$(mktemp -d "${TMPDIR:-/tmp}/velmortev-system.XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "system-test.sh: cpack failed" >&2; exit 1; }
payload=$work/payload
tevlib_dir=$payload/opt/velmor/extapi/64/tev/vlmr/1
mkdir -p "$payload/root" "$payload/usr/local/sbin" "$payload/usr/lib/modules/$abi/extra" "$tevlib_dir"
cp "$work"/out/velmortev_*.deb "$payload/root/velmortev.deb"
cp "$here/../functions.sh" "$here/../vm/guest-lib.sh" "$here/system-lib.sh" "$payload/root/"
cp "$guest_script" "$payload/root/guest.sh"
cp "$module_ko" "$payload/usr/lib/modules/$abi/extra/"
cp "$build/testbed/bin/tevtool" "$payload/usr/local/sbin/tevtool"
cp "$build/testbed/libtev.so" "$tevlib_dir/libtev.so"
{ echo "VLMTEST_LUNS=$((luns + 1)) VLMTEST_DISKS=$disk_set"; cat "$here/setup.sh"; } >"$work/setup.sh"

# The disks of checks.sh and road.sh.
events_disks() {
  disks=(-drive "file=$work/vdb.img,if=virtio,format=raw"
         -drive "file=$work/nvme.img,if=none,id=nv,format=raw" -device "nvme,drive=nv,serial=vlm1"
         -device "virtio-scsi-pci,id=scsi"
         -blockdev "driver=file,filename=$work/hot.img,node-name=hotfile"
         -blockdev "driver=raw,file=hotfile,node-name=hot"
         -device "scsi-hd,bus=scsi.0,drive=hot,id=hotlun,scsi-id=0,lun=40")
  truncate -s 4M "$work/vdb.img" "$work/nvme.img"
  truncate -s 3M "$work/hot.img"
  for i in $(seq 1 "$luns"); do
    truncate -s 2M "$work/lun$i.img"
    disks+=(-drive "file=$work/lun$i.img,if=none,id=lun$i,format=raw"
            -device "scsi-hd,bus=scsi.0,drive=lun$i,scsi-id=0,lun=$i")
  done
}

# One image opened once per path, without locking, each open behind a SCSI
# device of the same WWN and serial that lets the others write too: to the
# guest, two paths to one disk. The guest script adds a third one with
# "device_add scsi-hd,bus=scsi.0,drive=mpc,id=mpc,scsi-id=0,lun=3,wwn=...".
multipath_disks() {
  local path
  cp "$here/multipath-setup.sh" "$payload/root/multipath-setup.sh"
  if command -v promtool >/dev/null; then
    mkdir -p "$payload/usr/local/bin"
    cp "$(command -v promtool)" "$payload/usr/local/bin/promtool"
  fi
  truncate -s 4M "$work/mp.img" "$work/clone.img" "$work/blank.img"
  # The clone's drive outlives its device, so that the device can come
  # back. Slots after the root's keep the names: the clone /dev/vdb, the
  # blank disk /dev/vdc.
  disks=(-blockdev "driver=file,filename=$work/clone.img,node-name=clonefile"
         -blockdev "driver=raw,file=clonefile,node-name=clonedrive"
         -device "virtio-blk-pci,drive=clonedrive,id=clone,addr=0x10"
         -drive "file=$work/blank.img,if=none,id=blank,format=raw"
         -device "virtio-blk-pci,drive=blank,addr=0x11"
         -device "virtio-scsi-pci,id=scsi")
  for path in a b c; do
    disks+=(-blockdev "driver=file,filename=$work/mp.img,locking=off,node-name=mp${path}file"
            -blockdev "driver=raw,file=mp${path}file,node-name=mp$path")
  done
  disks+=(-device "scsi-hd,bus=scsi.0,drive=mpa,id=mpa,scsi-id=0,lun=1,wwn=0x5000c5001234abc1,serial=VLMMP1,share-rw=on"
          -device "scsi-hd,bus=scsi.0,drive=mpb,id=mpb,scsi-id=0,lun=2,wwn=0x5000c5001234abc1,serial=VLMMP1,share-rw=on")
}
"${disk_set}_disks"

status=0
"$here/boot-vm.sh" --image "$image" --payload "$payload" --setup "$work/setup.sh" \
  --console "$work/console.log" --timeout "${VELMORTEV_VM_TIMEOUT:-900}" -- "${disks[@]}" ||
  status=$?
echo "FIGURE: root ready after $((prepared - started)) s, boot and guest script $(($(date +%s) - prepared)) s"
if [ $status -ne 0 ]; then
  echo "system-test.sh: the guest ended with status $status"
  vm_show_end 30 "$work/console.log"
fi
exit $status
