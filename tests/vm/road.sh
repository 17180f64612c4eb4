# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# The main job's road of one disk on a real kernel, inside the VM (see
# run-vm.sh; main-job.sh --real-kernel runs it): a real partition of a
# virtual SCSI disk and the real manager-type filesystem.

manager=/mnt/velmor

load_module scsi_debug dev_size_mb=32 sector_size=512 num_tgts=1
load_module sd_mod
load_module vlmmgr
wait_for /dev/sda
mbr /dev/sda 2048:16384
mkdir -p $manager && mount -t vlmmgr none $manager && mkdir $manager/disks
export VLM_TESTBED_MANAGER=$manager LD_LIBRARY_PATH=/kit/lib

echo "Real kernel $(uname -r) in a VM: /dev/sda is a virtual SCSI disk (scsi_debug,"
echo "512-byte sectors) whose new partition table holds one partition at sector"
echo "2048; the manager filesystem (type $(stat -f -c %t $manager)) is mounted on $manager."

step "The kernel does not know the new table yet: only the whole disk is listed." \
  "grep -w 'sda.*' /proc/partitions"
step "Ask the kernel to reread the partition table of the whole disk." \
  "echo /dev/sda | velmortev-reload-partitions"
step "The kernel now lists the partition." \
  "grep -w 'sda.*' /proc/partitions"
step "Is /dev/sda1 a candidate for a label? A partition not in use is: status 0." \
  "velmortev-candidate-p -v /dev/sda1 && echo candidate"
step "The whole disk is not: sd is not among the drivers whose whole devices may carry a label." \
  "velmortev-candidate-p -v /dev/sda || echo \"not a candidate (status \$?)\""
step "Label the partition data1: stored upper-case, in its first logical block." \
  "velmortev-write-label /dev/sda1 data1"
step "List the candidate partitions in scan order; the partition is among them." \
  "velmortev-scan-partitions"
step "Read the label back: LABEL:DEVICE." \
  "velmortev-read-label /dev/sda1"
step "Create the disk node DATA1 in the manager filesystem, with the partition's device number." \
  "velmortev-instantiate-disk -l $manager /dev/sda1 DATA1"
step "There it is." \
  "ls -l $manager/disks"
step "The access library discovers the disk." \
  "velmortev-discover"
step "Remove the disk node again." \
  "velmortev-clean-disk -l $manager DATA1"
step "tevscan does the rereading, cleaning and instantiating for all disks at once, through tevtool." \
  "tevscan -l $manager"
step "It found the partition marked with its label and created the node." \
  "ls -l $manager/disks"
step "A second pass finds the node valid and keeps it; the create finds it there already." \
  "tevscan -l $manager"
step "Clear the partition's label: the node now stands for a disk that is no longer labelled." \
  "velmortev-write-label -d /dev/sda1"
step "The next pass finds the node invalid and cleans it away." \
  "tevscan -l $manager"
step "The manager is empty again, as we found it." \
  "ls -l $manager/disks"
echo
echo "The road is walked; the VM powers off now, and its disks go with it."
