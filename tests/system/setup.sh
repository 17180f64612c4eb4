# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# Run by boot-vm.sh in a chroot of the guest's root before systemd starts
# (see system-test.sh): installs the kit's package with dpkg, as an image
# build would, enables the boot-time scan of /mnt/velmor, writes a labelled
# partition on every test disk and leaves the drivers of the late disks
# unloaded and blacklisted. Everything it touches is a virtual device.
set -eu
# shellcheck source=../functions.sh
. /root/functions.sh
# shellcheck source=../vm/guest-lib.sh
. /root/guest-lib.sh
abi=$(uname -r)

dpkg -i /root/velmortev.deb
depmod "$abi"
echo vlmmgr >/etc/modules-load.d/vlmmgr.conf
mkdir -p /mnt/velmor /mnt/other
printf 'none /mnt/velmor vlmmgr nofail 0 0\nnone /mnt/other vlmmgr nofail 0 0\n' >>/etc/fstab
systemctl enable tevscan@mnt-velmor.service

# The manager-type filesystem starts empty; the driver's has disks/.
cat >/etc/systemd/system/vlmtest-disks@.service <<'EOF'
[Unit]
Description=disks directory of the test manager on %f
After=%i.mount
Before=tevscan@%i.service
[Service]
Type=oneshot
ExecStart=/bin/mkdir -p %f/disks
[Install]
WantedBy=%i.mount
EOF
cat >/etc/systemd/system/vlmtest-checks.service <<'EOF'
[Unit]
Description=system checks
After=multi-user.target vlmtest-late-disk.service
[Service]
Type=oneshot
StandardOutput=file:/dev/ttyS1
StandardError=inherit
ExecStart=/bin/sh /root/run-guest.sh
[Install]
WantedBy=multi-user.target
EOF
# The guest script, with the test library and the helpers, in a shell of
# its own: its status, also when it ends early, ends the VM.
cat >/root/run-guest.sh <<'EOF'
sh -c '. /root/functions.sh; . /root/guest-lib.sh; . /root/system-lib.sh; . /root/guest.sh'
echo "velmortev-vm: status $?"
EOF
# Another set of disks than the one below: its own setup.
if [ "$VLMTEST_DISKS" != events ]; then
  systemctl enable vlmtest-disks@mnt-velmor.service vlmtest-disks@mnt-other.service \
    vlmtest-checks.service
  # shellcheck source=multipath-setup.sh
  . "/root/$VLMTEST_DISKS-setup.sh"
  exit 0
fi
# multipath-tools is in the root for the multipath checks; here no disk is a
# path of a map, and what its daemon asks of udev would only add events to
# the passes counted below.
systemctl mask -q multipathd.service multipathd.socket

# The late disk: its driver comes after the boot-time pass.
cat >/etc/systemd/system/vlmtest-late-disk.service <<'EOF'
[Unit]
Description=late NVMe disk of the system checks
After=tevscan@mnt-velmor.service
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'modprobe nvme && udevadm wait --timeout=30 /dev/nvme0n1p1 && mkdir -p /run/vlmtest && date +%%s >/run/vlmtest/late-at'
[Install]
WantedBy=multi-user.target
EOF
# While /run/vlmtest/hold exists, a pass that has ended waits before its
# unit goes inactive: the window in which a start request is merged away.
mkdir -p /etc/systemd/system/tevscan@mnt-velmor.service.d
cat >/etc/systemd/system/tevscan@mnt-velmor.service.d/hold.conf <<'EOF'
[Service]
ExecStopPost=/bin/sh -c 'while [ -e /run/vlmtest/hold ]; do : >/run/vlmtest/held; sleep 0.2; done'
EOF
systemctl enable vlmtest-disks@mnt-velmor.service vlmtest-disks@mnt-other.service \
  vlmtest-late-disk.service vlmtest-checks.service

# One labelled partition (sectors 2048-4095) per disk: BOOT1 on the second
# virtio disk, LATE1 on the NVMe namespace, HOT1 on the 3 MiB SCSI disk and
# BURST1... on the 2 MiB ones.
label_disk() {
  mbr "$1" 2048:2048
  echo "$1" | velmortev-reload-partitions
  wait_for "$1$3"
  velmortev-write-label "$1$3" "$2"
}
modprobe nvme
modprobe virtio_scsi
modprobe sd_mod
wait_for /dev/nvme0n1
scsi_disks() { find /sys/class/scsi_disk -mindepth 1 -maxdepth 1 | wc -l; }
all_luns_there() { [ "$(scsi_disks)" -ge "${VLMTEST_LUNS:?}" ]; }
within 30 all_luns_there || { echo "only $(scsi_disks) SCSI disks" >&2; exit 1; }
label_disk /dev/vdb boot1 1
label_disk /dev/nvme0n1 late1 p1
n=0
for dev in /sys/block/sd*; do
  dev=/dev/${dev##*/}
  if [ "$(blockdev --getsize64 "$dev")" -eq 3145728 ]; then
    label_disk "$dev" hot1 1
  else
    n=$((n + 1))
    label_disk "$dev" "burst$n" 1
  fi
done
sync
rmmod sd_mod virtio_scsi nvme nvme_core
printf 'blacklist nvme\nblacklist virtio_scsi\n' >/etc/modprobe.d/vlmtest.conf
