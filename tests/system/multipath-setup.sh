# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# Sourced by setup.sh for the multipath disks (system-test.sh, DISKS
# multipath), in the chroot before systemd starts: multipathd makes a map
# of the test image's paths (and of nothing else), the front end's settings
# put passes on maps, leave the paths out and name the manager whose
# health counts (the one with passes: /mnt/other has none), node_exporter's
# textfile directory is there for the passes' metrics, the image gets the
# label MP1 on its whole disk, the first virtio disk after the root a copy
# of it and the second one a partition that nothing has written to.
# Everything it touches is a virtual device.

# Only the test image's WWID is a multipath candidate; a single path is
# enough for a map, so a map never waits for a second path to come.
cat >/etc/multipath.conf <<'EOF'
defaults {
    user_friendly_names no
    find_multipaths no
}
blacklist {
    wwid ".*"
}
blacklist_exceptions {
    wwid "5000c5001234abc1"
}
multipaths {
    multipath {
        wwid 35000c5001234abc1
        alias vlmmp
    }
}
EOF
systemctl enable multipathd.service
mkdir -p /etc/velmortev/conf.d
printf 'SCAN_ORDER=dm\nSCAN_EXCLUDE=sd\nMANAGERS=/mnt/velmor\n' >/etc/velmortev/conf.d/50-multipath.conf
mkdir -p /var/lib/prometheus/node-exporter

modprobe virtio_scsi
modprobe sd_mod
i=0
while [ "$(ls /sys/class/scsi_disk | wc -l)" -lt 2 ]; do
  i=$((i + 1))
  [ $i -gt 300 ] && { echo "only $(ls /sys/class/scsi_disk | wc -l) SCSI disks" >&2; exit 1; }
  sleep 0.1
done
velmortev-write-label /dev/sda MP1
sync
dd if=/dev/sda of=/dev/vdb bs=1M iflag=direct oflag=direct 2>/dev/null
mbr /dev/vdc 2048:2048
