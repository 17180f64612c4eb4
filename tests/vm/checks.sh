# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# The kit against a real kernel: partitions, rereads, drivers, exclusive
# opens and a manager-type filesystem, all inside the VM (see run-vm.sh).
# Every check compares a program's exact output and exit status.

manager=/mnt/velmor
mib=1048576

# Counts the bytes of DEVICE that differ from the file EXPECTED outside the
# label fields of the first block (checksum word at 12, magic and label at
# 32-63).
changed_outside_label() {
  dd if="$2" of=/tmp/now bs=65536 2>/dev/null
  cmp -l "$1" /tmp/now | awk '{ o = $1 - 1; if (o < 12 || (o >= 16 && o < 32) || o >= 64) n++ }
                              END { print n + 0 }'
}

# Write, refuse, replace, clear and -c on one 4 MiB partition whose bytes
# are all random to begin with: only the label fields ever change, and -c
# zeroes the first and last MiB besides.
label_suite() {
  local dev=$1 tag=$2
  dd if=/dev/urandom of="$dev" bs=65536 count=64 2>/dev/null
  dd if="$dev" of=/tmp/before bs=65536 2>/dev/null
  check "$tag: write a label" 0 "" velmortev-write-label "$dev" data1
  check "$tag: read it back" 0 "DATA1:$dev" velmortev-read-label "$dev"
  check "$tag: a labelled device is refused" 239 \
    "velmortev-write-label: Device \"$dev\" is already labeled \"DATA1\"" \
    velmortev-write-label "$dev" other
  check "$tag: -f replaces the label" 0 "OTHER:$dev" \
    "velmortev-write-label -f $dev other && velmortev-read-label $dev"
  check "$tag: -d clears it" 0 "" "velmortev-write-label -d $dev && velmortev-read-label $dev"
  check "$tag: -r reads the cleared label" 0 ":$dev" velmortev-read-label -r "$dev"
  check "$tag: no byte outside the label fields changed" 0 0 changed_outside_label /tmp/before "$dev"
  cp /tmp/before /tmp/expected
  dd if=/dev/zero of=/tmp/expected bs=$mib count=1 conv=notrunc 2>/dev/null
  dd if=/dev/zero of=/tmp/expected bs=$mib count=1 seek=3 conv=notrunc 2>/dev/null
  check "$tag: -c labels a cleared device" 0 "DATA2:$dev" \
    "velmortev-write-label -c $dev data2 && velmortev-read-label $dev"
  check "$tag: -c zeroed the first and last MiB and kept the rest" 0 0 \
    changed_outside_label /tmp/expected "$dev"
}

# --- Devices: a 512-byte SCSI disk with three partitions (the second gets
# mounted, the third held by a device-mapper table), a blank second SCSI
# disk with a store of its own, a 4096-byte NVMe namespace with two
# partitions, a loop device with two partitions (room for one in the loop
# major), a ramdisk, and a linear md array (no superblock) on a second one.
load_module scsi_debug dev_size_mb=32 sector_size=512 num_tgts=1 per_host_store=1
load_module sd_mod
wait_for /dev/sda
echo 1 >/sys/bus/pseudo/drivers/scsi_debug/add_host
wait_for /dev/sdb
load_module nvme
wait_for /dev/nvme0n1
load_module loop max_part=1
load_module brd rd_nr=2 rd_size=8192
load_module dm-mod
load_module md-mod
load_module linear
load_module msdos
load_module nls_cp437
load_module vlmmgr
mbr /dev/sda 2048:8192 10240:8192 18432:8192
mbr /dev/nvme0n1 256:1024 1280:1024
truncate -s 16M /tmp/loop.img
mbr /tmp/loop.img 2048:8192 10240:8192
losetup /dev/loop0 /tmp/loop.img
printf '/dev/sda\n/dev/nvme0n1\n' | velmortev-reload-partitions
echo md0 >/sys/module/md_mod/parameters/new_array
for setting in metadata_version=none level=linear raid_disks=1 new_dev=1:1 \
               dev-ram1/size=8192 dev-ram1/slot=0 array_state=active; do
  echo "${setting#*=}" >"/sys/block/md0/md/${setting%%=*}"
done
mkdir -p $manager && mount -t vlmmgr none $manager && mkdir $manager/disks
wait_for /dev/loop0p2

check "the kernel's partitions" 0 \
  "sda sda1 sda2 sda3 sdb nvme0n1 nvme0n1p1 nvme0n1p2 loop0 loop0p1 loop0p2 ram0 ram1 md0" \
  partitions
check "loop partitions: the first in the loop major, the next blkext" 0 "7 259" \
  "devno /dev/loop0p1 /dev/loop0p2 | sed 's/:[0-9]*//g'"
check "the drivers of the block majors" 0 \
  "1 ramdisk,7 loop,8 sd,9 md,254 device-mapper,259 blkext" \
  "sed -n '/^Block/,\$p' /proc/devices | awk '/ (ramdisk|loop|sd|md|device-mapper|blkext)\$/ && !seen[\$2]++ { printf \"%s%s %s\", sep, \$1, \$2; sep = \",\" } END { print \"\" }'"

# --- The candidate test.
not_a_partition() { echo "velmortev-candidate-p: Device \"$1\" is not a partition"; }
busy() { echo "$1: Unable to open device \"$2\": Device or resource busy"; }
check "SCSI partition (512)" 0 "" velmortev-candidate-p -v /dev/sda1
check "whole SCSI disk refused" 234 "$(not_a_partition /dev/sda)" velmortev-candidate-p -v /dev/sda
check "whole SCSI disk with -f" 0 "" velmortev-candidate-p -f /dev/sda
check "NVMe partition (4096)" 0 "" velmortev-candidate-p -v /dev/nvme0n1p1
check "whole NVMe namespace (blkext) refused" 234 "$(not_a_partition /dev/nvme0n1)" \
  velmortev-candidate-p -v /dev/nvme0n1
check "whole loop device" 0 "" velmortev-candidate-p -v /dev/loop0
check "loop partition in the loop major passes by the driver name" 0 "" \
  velmortev-candidate-p -v /dev/loop0p1
check "loop partition (blkext, no geometry) refused" 234 "$(not_a_partition /dev/loop0p2)" \
  velmortev-candidate-p -v /dev/loop0p2
check "ramdisk" 0 "" velmortev-candidate-p -v /dev/ram0
check "md array" 0 "active linear" "velmortev-candidate-p -v /dev/md0 && sed -n 's/^md0 : //p' /proc/mdstat | cut -d' ' -f1-2"

mkdosfs /dev/sda2 >/dev/null && mkdir /mnt/sda2 && mount -t msdos /dev/sda2 /mnt/sda2
echo "0 8192 linear /dev/sda3 0" | dmsetup create vlmlin
check "device-mapper device" 0 "" velmortev-candidate-p -v /dev/dm-0
check "a whole disk with partitions in use" 240 "$(busy velmortev-candidate-p /dev/sda)" \
  velmortev-candidate-p -f -v /dev/sda

# --- Exclusive opens: a mounted partition, a partition under a dm table.
for dev in /dev/sda2 /dev/sda3; do
  check "$dev in use: candidate" 240 "$(busy velmortev-candidate-p $dev)" \
    velmortev-candidate-p -v $dev
  check "$dev in use: candidate -f" 240 "$(busy velmortev-candidate-p $dev)" \
    velmortev-candidate-p -f -v $dev
  check "$dev in use: label writer" 240 "$(busy velmortev-write-label $dev)" \
    velmortev-write-label $dev data1
done

# --- Labels on a 512-byte SCSI partition and a 4096-byte NVMe partition.
label_suite /dev/sda1 "SCSI 512"
label_suite /dev/nvme0n1p1 "NVMe 4096"

# --- Partition-table rereads.
mbr /dev/sdb 2048:8192 10240:8192 18432:8192
check "reread shows a new table" 0 "sda sda1 sda2 sda3 sdb sdb1 sdb2 sdb3" \
  "echo /dev/sdb | velmortev-reload-partitions && partitions | cut -d' ' -f1-8"
velmortev-write-label /dev/sdb1 data1
velmortev-write-label /dev/sdb3 new3
mbr /dev/sdb 2048:8192 10240:8192
check "reread drops a removed partition" 0 "sdb sdb1 sdb2" \
  "echo /dev/sdb | velmortev-reload-partitions && partitions | tr ' ' '\n' | grep sdb | xargs"
mbr /dev/sdb 2048:8192 10240:8192 18432:8192
check "a partition on the input is not reread" 0 "sdb sdb1 sdb2" \
  "echo /dev/sdb1 | velmortev-reload-partitions && partitions | tr ' ' '\n' | grep sdb | xargs"
mbr /dev/sda 2048:8192 10240:8192 18432:8192 26624:8192
check "a disk with a mounted partition: refused, status 0" 0 "sda sda1 sda2 sda3" \
  "echo /dev/sda | velmortev-reload-partitions && partitions | tr ' ' '\n' | grep sda | xargs"

# --- The partition scan on the real table.
mkdir /tmp/byname && touch /tmp/byname/sdb1
check "scan" 0 "$(partitions | sed 's,[^ ]*,/dev/&,g' | tr ' ' '\n')" velmortev-scan-partitions
check "scan -o -x -D" 0 "/dev/nvme0n1p1
/dev/nvme0n1p2
/dev/nvme0n1
/dev/sdb
/tmp/byname/sdb1
/dev/sdb1
/dev/sdb2
/dev/ram0
/dev/ram1
/dev/md0
/dev/dm-0" velmortev-scan-partitions -o nvme0n1p -o nvme -x sda -x loop -D /tmp/byname/

# --- The manager-type filesystem.
check "manager statfs type" 0 958459f6 stat -f -c %t $manager
check "instantiate" 0 "block special file 8:1 600" \
  "velmortev-instantiate-disk -l $manager /dev/sda1 data2 && stat -c '%F %t:%T %a' $manager/disks/DATA2"
check "the node opens as the device" 0 "DATA2:$manager/disks/DATA2" \
  "cmp $manager/disks/DATA2 /dev/sda1 && velmortev-read-label $manager/disks/DATA2"
check "instantiate twice" 255 \
  "velmortev-instantiate-disk: Unable to create TEV disk \"DATA2\": File exists" \
  velmortev-instantiate-disk -l $manager /dev/sda1 DATA2
check "clean" 0 "" "velmortev-clean-disk -l $manager data2 && ls $manager/disks"
check "clean twice" 255 \
  "velmortev-clean-disk: Unable to remove TEV disk \"DATA2\": No such file or directory" \
  velmortev-clean-disk -l $manager DATA2
check "instantiate on another filesystem type" 250 \
  "velmortev-instantiate-disk: Unable to open manager: No such device or address" \
  velmortev-instantiate-disk -l /tmp /dev/sda1 DATA2
check "clean on another filesystem type" 250 \
  "velmortev-clean-disk: Unable to open manager: No such device or address" \
  velmortev-clean-disk -l /tmp DATA2

# --- One tevscan pass over the whole machine: sdb's table on disk has a
# third partition, labelled NEW3, that the kernel does not know yet; the
# manager holds a stale node OLD; sdb1 carries DATA1.
velmortev-write-label -d /dev/sda1
velmortev-write-label -d /dev/nvme0n1p1
mknod $manager/disks/OLD b 8 18
check "tevscan" 0 'Cleaning disk "OLD"
Instantating disk "DATA1"
Instantating disk "NEW3"' tevscan -l $manager
check "phase 1 reread the whole disk" 0 "sdb sdb1 sdb2 sdb3" \
  "partitions | tr ' ' '\n' | grep sdb | xargs"
check "nodes after the pass" 0 "DATA1 NEW3 8:17 8:19" \
  "cd $manager/disks && echo * \$(devno *)"
check "discover" 0 "Using TEVLib from LD_LIBRARY_PATH
[TEVLib testbed 1.0]
Discovered disk: DATA1 [8192 blocks (4194304 bytes), maxio 131072, integrity none]
Discovered disk: NEW3 [8192 blocks (4194304 bytes), maxio 131072, integrity none]" \
  VLM_TESTBED_MANAGER=$manager LD_LIBRARY_PATH=/kit/lib velmortev-discover
check "tevscan -s puts its partitions first" 0 'Instantating disk "NEW3"
Instantating disk "DATA1"' tevscan -l $manager -s sdb3
check "tevscan -x leaves partitions out" 0 'Instantating disk "NEW3"' \
  tevscan -l $manager -x sdb1
rm -f $manager/disks/*

# --- A SCSI disk of 4096-byte sectors: scsi_debug again, reloaded.
umount /mnt/sda2
dmsetup remove vlmlin
check "unmounted, the same disk's reread goes through" 0 "sda sda1 sda2 sda3 sda4" \
  "echo /dev/sda | velmortev-reload-partitions && partitions | tr ' ' '\n' | grep sda | xargs"
rmmod scsi_debug
load_module scsi_debug dev_size_mb=32 sector_size=4096 num_tgts=1
wait_for /dev/sda
mbr /dev/sda 256:1024 1280:1024
check "4096: reread shows the table" 0 "4096 sda sda1 sda2" \
  "echo /dev/sda | velmortev-reload-partitions && echo \$(blockdev --getss /dev/sda) \$(partitions | tr ' ' '\n' | grep sda)"
check "4096: SCSI partition" 0 "" velmortev-candidate-p -v /dev/sda1
check "4096: whole SCSI disk refused" 234 "$(not_a_partition /dev/sda)" velmortev-candidate-p -v /dev/sda
label_suite /dev/sda1 "SCSI 4096"

finish
