# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# The playbook velmortev.disks.cluster_check on the guests of guests-test.sh,
# which sources this file at its end with its guests up, the shared disk
# labelled and every guest's node made: (a) the cluster agrees, and a host
# that does not answer fails the check; (b) a second disk, attached to guest2
# alone and labelled like the shared one, fails it naming guest2, the label
# and both WWIDs; (c) a relabel with the front end on guest1 fails it until
# both guests have scanned, and then both agree on the new label.
# Uses guests-test.sh's on, adhoc, nodes_are, dir and shared_wwn, and the
# test library's and play-lib.sh's helpers.
# shellcheck disable=SC2154  # dir, shared_wwn, out, status: set by the caller

check_cluster() { playbook=velmortev.disks.cluster_check play "$@"; }
# The check's verdict on the LUN in the last run's report: WWID: LABELS.
agreed_on() { grep -qF "\"WWID naa.$shared_wwn: $1\"" <<<"$out"; }
# The message of the last run's failed check, as the play shows it.
check_message() { grep -o '"msg": "Cluster check failed: .*' <<<"$out" | sed -e 's/", "[a-z_]*": .*//' -e 's/"}$//' -e 's/^"msg": "//'; }
fails_naming() { [ "$status" -ne 0 ] && grep -qF "$1" <<<"$(check_message)"; }
no_block_device() { ! on "$1" test -b "$2"; }
# Sends a command to QEMU's monitor from inside a guest (tests/system/boot-vm.sh).
monitor_of() { on "$1" "echo 'velmortev-vm: monitor $2' >/dev/ttyS1"; }

shared=$(on 1 velmortev-read-label /dev/sda1) shared=${shared%%:*}
expect "the shared disk carries a label to compare: $shared" test -n "$shared"

check_cluster
expect "(a) the cluster agrees ($status)" test "$status" -eq 0
expect "(a) on the shared LUN, labelled $shared" agreed_on "$shared"
check_cluster -e cluster_hosts=cluster:gone
expect "(a) a host that does not answer fails the check: $(check_message)" \
  fails_naming 'gone: unreachable: '

# A disk of guest2's own, with its own WWID, carrying the shared label.
other_wwn=5000c50015ea7102
truncate -s 16M "$dir/only2.img"
monitor_of 2 "drive_add 0 file=$dir/only2.img,format=raw,if=none,id=only2"
monitor_of 2 "device_add scsi-hd,bus=scsi0.0,drive=only2,id=only2,scsi-id=0,lun=1,wwn=0x$other_wwn,serial=VLMONLY2"
expect "(b) guest2 gets a disk of its own" within 60 on 2 test -b /dev/sdb
expect "(b) guest1 does not see it" no_block_device 1 /dev/sdb
expect "(b) guest2 labels it $shared" on 2 velmortev-write-label /dev/sdb "$shared"
check_cluster
echo "(b) the check fails with: $(check_message)"
expect "(b) the check names guest2 with $shared on both WWIDs" \
  fails_naming "label $shared stands for different LUNs: WWID naa.$shared_wwn on guest1; WWIDs naa.$shared_wwn and naa.$other_wwn on guest2"
expect "(b) the check names guest2's disk as not seen on guest1" \
  fails_naming "WWID naa.$other_wwn: labelled $shared on guest2, not seen on guest1"
expect "(b) the check gives guest2's own check" \
  fails_naming "guest2: velmortev check CRITICAL: duplicate-label: "
expect "(b) guest2 clears the label of its own disk" on 2 velmortev-write-label -d /dev/sdb

expect "(c) guest1 renames $shared to MOVED1 with the front end" on 1 velmortev rename -y "$shared" moved1
check_cluster
expect "(c) before guest2 scans, its stale node fails the check: $(check_message)" \
  fails_naming "guest2: velmortev check CRITICAL: stale-node: "
adhoc cluster scan 'manager=/mnt/velmor'
check_cluster
expect "(c) after both scanned, the cluster agrees ($status)" test "$status" -eq 0
expect "(c) on the shared LUN, labelled MOVED1" agreed_on MOVED1
expect "(c) every guest has the node MOVED1 of /dev/sda1" nodes_are MOVED1
