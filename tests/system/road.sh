# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash disable=SC2154  # manager, unit: system-lib.sh
# The main job's road on a booted Debian system (main-job.sh --real-system,
# through system-test.sh): the package installed with dpkg, a disk
# labelled, disks added, and their nodes appearing by themselves. Sourced
# with the test library and the system tier's helpers; a step that fails
# ends the walk with its status.

# Until the passes that the events started are over; a walk whose passes go
# on for two minutes ends there.
idle() {
  quiet || { echo "(the passes did not end within two minutes)"; exit 1; }
}

echo "Debian $(cat /etc/debian_version) with systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"
echo "as PID 1, kernel $(uname -r), in a VM; the manager filesystem is mounted on $manager by fstab."
step "Install the kit's package (it was installed while the image was made; dpkg does it again)." \
  "dpkg -i /root/velmortev.deb | cat"
step "The pass of the manager on /mnt/velmor is enabled; its path unit watches for block device events." \
  "systemctl is-enabled tevscan@mnt-velmor.service; systemctl is-active tevscan@mnt-velmor.path"
step "The boot-time pass and a pass for the late NVMe disk made these nodes." "ls $manager/disks"
step "Label the partition /dev/vdb1 data1 (its label BOOT1 is cleared first): udev sees each write." \
  "velmortev-write-label -d /dev/vdb1 && velmortev-write-label /dev/vdb1 data1"
idle
step "Nobody ran tevscan: the passes cleaned BOOT1 away and made DATA1." "ls -l $manager/disks"
step "Add disks: the driver of a SCSI controller with 34 LUNs, each with a labelled partition, is loaded." \
  "modprobe virtio_scsi"
idle
step "Their nodes are there, made by the passes that the events started." "ls $manager/disks | xargs"
step "The passes of this boot, as systemd's journal counts them." \
  "journalctl -b -o cat -u tevscan@mnt-velmor.service | grep -c '^Starting'"
echo
echo "The road is walked; the VM powers off now, and its disks go with it."
