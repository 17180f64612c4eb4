# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash disable=SC2154  # manager, unit: system-lib.sh
# The kit's package on a booted Debian system (see system-test.sh), run
# after multi-user.target with the test library and the system tier's
# helpers, its output on the second serial port: a result line per check, a
# figure line per measurement; its status ends the VM.

node_count_is() { [ "$(node_count)" -eq "$1" ]; }
scsi_partitions_are() { [ "$(grep -c "sd[a-z]*1$" /proc/partitions)" -eq "$1" ]; }
# The SCSI disk that carries the label HOT1 (3 MiB), by its partition.
hot_partition() {
  for dev in /sys/block/sd*; do
    [ "$(cat "$dev/size" 2>/dev/null)" = 6144 ] && { echo "/dev/${dev##*/}1"; return 0; }
  done
  return 1
}
hot_disk_there() { hot=$(hot_partition) && [ -b "$hot" ]; }

echo "FIGURE: checks start $(cut -d' ' -f1 /proc/uptime) s after the kernel"
checks_started=$(date +%s)
expect "the unit is enabled, its path unit watches" \
  test "$(systemctl is-enabled "$unit") $(systemctl is-active tevscan@mnt-velmor.path)" = "enabled active"
out=$(systemd-analyze verify --man=no "$unit" tevscan@mnt-velmor.path 2>&1)
expect "systemd-analyze verify finds nothing${out:+: $out}" test -z "$out"
expect "the boot-time pass made BOOT1 with the device number of /dev/vdb1" node_is BOOT1 /dev/vdb1
late_at=$(cat /run/vlmtest/late-at 2>/dev/null || echo 0)
expect "the late disk (driver loaded after the boot pass) got LATE1 within 30 s" \
  within $((late_at + 30 - $(date +%s))) node_is LATE1 /dev/nvme0n1p1
quiet

# A burst: the SCSI controller's driver brings 33 labelled LUNs and HOT1 at
# once.
before=$(passes mnt-velmor)
started=$(date +%s)
modprobe virtio_scsi
within 90 scsi_partitions_are 34
seen=$(($(date +%s) - started))
# A pass over all 36 devices takes up to a minute and a half under TCG on
# a loaded machine: the budgets below leave room for one and a bit.
expect "the burst's 34 labelled partitions got their nodes" within 180 node_count_is 36
made=$(($(date +%s) - started))
quiet
burst=$(($(passes mnt-velmor) - before))
echo "FIGURE: burst of 34 LUNs: $burst passes; partitions listed after ${seen} s, nodes after ${made} s"
expect "the burst took at most 2 passes" test "$burst" -le 2

# A disk that goes loses its node.
hot=$(hot_partition)
expect "HOT1 is the node of $hot" node_is HOT1 "$hot"
monitor device_del hotlun
expect "the removed disk's node went within 30 s" within 30 test ! -e "$manager/disks/HOT1"
quiet

# A disk that comes while a pass's job still runs, after the pass has
# decided it needs no other: it is held there (see setup.sh) while the disk
# is added, and the start request of the disk's events is merged away.
mkdir -p /run/vlmtest
: >/run/vlmtest/hold
rm -f /run/vlmtest/held
udevadm trigger --action=change /dev/vdb
within 150 test -e /run/vlmtest/held || fail "no pass started on a change event"
monitor device_add scsi-hd,bus=scsi.0,drive=hot,id=hotlun,scsi-id=0,lun=40
within 30 hot_disk_there || fail "the hot-added disk did not appear"
expect "the disk appeared while a pass's job was running" test "$(systemctl is-active "$unit")" = deactivating
before=$(passes mnt-velmor)
rm -f /run/vlmtest/hold
expect "the disk added during a pass got HOT1 within 150 s" within 150 node_is HOT1 "$hot"

# Passes stop: at most 2 after the last change, then none for 60 s.
quiet
after=$(($(passes mnt-velmor) - before))
expect "at most 2 passes after the last change ($after)" test "$after" -le 2
settled=$(passes mnt-velmor)
echo "FIGURE: quiet from $(($(date +%s) - checks_started)) s"
sleep 60
expect "no pass in the 60 s after" test "$(passes mnt-velmor)" -eq "$settled"
expect "the manager that is not enabled got no pass and no node" \
  test "$(passes mnt-other)$(ls /mnt/other/disks)" = 0
echo "FIGURE: passes of mnt-velmor in this boot: $settled"

# Removal and purge leave nothing; reinstall and enable --now work.
# The hold of the checks is no part of the package.
rm -r "/etc/systemd/system/$unit.d"
# The settings file is a conffile: removal keeps it, purge removes it.
conffiles=$(dpkg-query -W -f='${Conffiles}\n' velmortev | awk 'NF { print $1 }')
files=$(dpkg-query -L velmortev | while read -r f; do [ -d "$f" ] || echo "$f"; done |
        grep -vxF "$conffiles")
dpkg -r velmortev >/dev/null
expect "dpkg -r: the unit is no longer loaded" \
  test "$(systemctl show -P LoadState "$unit")" = not-found
expect "dpkg -r: no daemon reload needed, no marks left" \
  test "$(systemctl show -P NeedDaemonReload "$unit")" = no -a ! -e /run/velmortev
left=$(for f in $files; do [ -e "$f" ] && echo "$f"; done)
expect "dpkg -r: no file of the package left${left:+: $left}" test -z "$left"
expect "dpkg -r: the settings file kept ($conffiles)" test -f /etc/velmortev/velmortev.conf
dpkg --purge velmortev >/dev/null
left=$(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled -name 'tevscan@*' 2>/dev/null;
       ls /var/lib/dpkg/info/velmortev.* "$conffiles" 2>/dev/null)
expect "dpkg --purge: no enable link or package state left${left:+: $left}" test -z "$left"
dpkg -i /root/velmortev.deb >/dev/null
expect "reinstalled: systemctl enable --now runs a pass" systemctl enable --now -q "$unit"
expect "reinstalled: the pass kept all nodes" \
  test "$(node_count)" -eq 36 -a "$(systemctl show -P Result "$unit")" = success
expect "reinstalled: the path unit watches" test "$(systemctl is-active tevscan@mnt-velmor.path)" = active

echo "FIGURE: checks took $(($(date +%s) - checks_started)) s"
finish
