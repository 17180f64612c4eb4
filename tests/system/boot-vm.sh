#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Boots a root image of tests/system/make-root.sh under QEMU, with systemd
# as PID 1, on the real-kernel tier's kernel (tests/vm/kernel-lib.sh):
#
#   tests/system/boot-vm.sh --image IMG [--payload DIR] [--setup SCRIPT]
#       [--hostfwd RULE]... [--console FILE] [--memory MIB] [--smp N]
#       [--timeout SECONDS] [--cache DIR] [-- QEMU-ARGUMENT...]
#
#   --image IMG      the root, booted with snapshot=on: the image is never
#                    written, so several guests may boot it at once
#   --payload DIR    copied onto the root (owner root) before systemd starts
#   --setup SCRIPT   run by /bin/sh in a chroot of the root, after the
#                    payload, before systemd starts (with /dev, /proc and
#                    /sys); when it fails, the run ends with its status
#   --hostfwd RULE   user-mode networking on a virtio NIC with this forward,
#                    e.g. tcp:127.0.0.1:2222-:22 (repeatable); without it
#                    the guest has no network
#   --console FILE   where the guest's console (ttyS0) goes; by default a
#                    temporary file whose end is shown when the run fails
#   --memory, --smp  default 1024 MiB and 2 vCPUs
#   --timeout        default 600 seconds, then QEMU is stopped
#   QEMU-ARGUMENT    further devices, e.g. -drive file=D.img,if=none,id=d0,format=raw
#                    -device virtio-blk-pci,drive=d0 (the root is the first
#                    virtio disk; a virtio-scsi controller is up to the caller)
#
# The guest's second serial port (/dev/ttyS1) becomes standard output, line
# by line, as it is written. A line "velmortev-vm: monitor COMMAND" is not
# shown but sent to QEMU's human monitor (device_add, device_del, ...); a
# line "velmortev-vm: status N" ends the run with status N (QEMU is told to
# quit). Without that line the status is 1 when QEMU ends (the guest
# powered off), or 124 on the timeout. SIGTERM and SIGINT stop QEMU too.
# Without QEMU, busybox-static or the kernel the run ends with 77
# (skipped), under CI=true with 1.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../functions.sh
. "$here/../functions.sh"

usage() {
  sed -n '/^#   tests\/system\/boot-vm.sh/,/^#$/p' "$0" | sed 's/^#//' >&2
  exit 2
}

image='' payload='' setup='' console='' memory=1024 smp=2 timeout=600 cache='' hostfwd=''
while [ $# -gt 0 ]; do
  case $1 in
    --image) image=${2:?}; shift 2 ;;
    --payload) payload=$(cd "${2:?}" && pwd); shift 2 ;;
    --setup) setup=${2:?}; shift 2 ;;
    --hostfwd) hostfwd="$hostfwd,hostfwd=${2:?}"; shift 2 ;;
    --console) console=${2:?}; shift 2 ;;
    --memory) memory=${2:?}; shift 2 ;;
    --smp) smp=${2:?}; shift 2 ;;
    --timeout) timeout=${2:?}; shift 2 ;;
    --cache) cache=${2:?}; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ -n "$image" ] || usage
[ -r "$image" ] || { echo "boot-vm.sh: no image $image" >&2; exit 1; }

busybox=/bin/busybox
[ -x $busybox ] && ! ldd $busybox >/dev/null 2>&1 || unavailable "busybox-static is not installed"
# shellcheck source=../vm/kernel-lib.sh
. "$here/../vm/kernel-lib.sh"
vm_cache "$cache"
vm_kernel

work=$(mktemp -d "${TMPDIR:-/tmp}/velmortev-boot.XXXXXX")
qemu_pid='' drain_pid=''
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  [ -n "$drain_pid" ] && kill "$drain_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
[ -n "$console" ] || console=$work/console.log

# The initramfs: busybox loads what the root needs, mounts it, puts the
# payload on it, runs the setup in a chroot and hands over to systemd.
initrd=$work/initrd
mkdir -p "$initrd"/{bin,dev,proc,sys,newroot,etc}
cp $busybox "$initrd/bin/busybox"
vm_plain_modules "$initrd/lib/modules" "$initrd/etc/modules.order" \
  virtio_pci virtio_blk crc32c_generic ext4
[ -n "$payload" ] && cp -a "$payload" "$initrd/payload"
[ -n "$setup" ] && cp "$setup" "$initrd/setup.sh"
cat >"$initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r name files; do
  for file in $files; do insmod "/lib/modules/$file" 2>/dev/null; done
done </etc/modules.order
fail() {
  echo "velmortev-vm: $1" >/dev/ttyS1
  echo "velmortev-vm: status ${2:-1}" >/dev/ttyS1
  poweroff -f
}
i=0
until root=$(findfs LABEL=vlmroot 2>/dev/null); do
  i=$((i + 1))
  [ $i -gt 100 ] && fail "no root filesystem labelled vlmroot"
  sleep 0.1
done
mount -t ext4 "$root" /newroot || fail "cannot mount $root"
[ ! -d /payload ] || cp -a /payload/. /newroot/ || fail "cannot copy the payload onto the root"
if [ -e /setup.sh ]; then
  mount -t proc proc /newroot/proc
  mount -t sysfs sysfs /newroot/sys
  mount -o bind /dev /newroot/dev
  chroot /newroot /bin/sh -s </setup.sh >/newroot/var/log/velmortev-vm-setup.log 2>&1
  status=$?
  umount /newroot/dev /newroot/sys /newroot/proc
  if [ $status -ne 0 ]; then
    sed 's/^/setup: /' /newroot/var/log/velmortev-vm-setup.log >/dev/ttyS1
    fail "the setup script failed" $status
  fi
fi
umount /sys /proc
mount --move /dev /newroot/dev
exec switch_root /newroot /sbin/init
EOF
chmod +x "$initrd/init"
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

mkfifo "$work/monitor.in" "$work/monitor.out"
cat "$work/monitor.out" >"$work/monitor.log" &
drain_pid=$!
net=(-nic none)
# Restricted: the guest reaches nothing outside; the forwards still reach it.
[ -n "$hostfwd" ] && net=(-nic "user,model=virtio-net-pci,restrict=on$hostfwd")
accel=${VELMORTEV_VM_ACCEL:-$(vm_accel)}
timeout "$timeout" qemu-system-x86_64 -accel "$accel" -m "$memory" -smp "$smp" \
  -nodefaults -display none -no-reboot \
  -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline \
  -serial "file:$console" -serial "file:$work/ttyS1" \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 systemd.show_status=0" \
  -drive "file=$image,format=raw,if=virtio,snapshot=on" \
  "${net[@]}" "$@" </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!

# The guest's lines, as they come: monitor commands go to QEMU, the status
# line ends the run, everything else is shown.
status=
exec 7<>"$work/monitor.in"
while IFS= read -r line; do
  line=${line%$'\r'}
  case $line in
    "velmortev-vm: monitor "*) echo "${line#velmortev-vm: monitor }" >&7 ;;
    "velmortev-vm: status "*)
      status=${line##* }
      echo quit >&7
      break ;;
    *) printf '%s\n' "$line" ;;
  esac
done < <(tail -F -n +1 --pid="$qemu_pid" "$work/ttyS1" 2>/dev/null)
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=
if [ -n "$status" ]; then
  exit "$status"
fi
echo "boot-vm.sh: the VM ended without a status line (qemu status $qemu_status)" >&2
vm_show_end 40 "$console" "$work/qemu.log" >&2
[ "$qemu_status" -eq 124 ] && exit 124
exit 1
