# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# Helpers for the guest scripts of the system tier (see system-test.sh),
# sourced after tests/functions.sh and tests/vm/guest-lib.sh. The setup
# enables the passes of the manager on /mnt/velmor: $manager and $unit.
manager=/mnt/velmor
unit=tevscan@mnt-velmor.service

# Sends a command to QEMU's human monitor (device_add, device_del, ...).
monitor() { echo "velmortev-vm: monitor $*"; }

# The number of passes of a manager's unit so far (systemd's "Starting"
# message, one per start).
passes() {
  journalctl --sync
  journalctl -b -o cat MESSAGE_ID=7d4958e842da4a758f6c1cdc7b36dcc5 UNIT="tevscan@$1.service" | wc -l
}

# No pass of $unit runs or is due.
passes_over() {
  [ "$(systemctl is-active $unit)" = inactive ] && [ -z "$(ls /run/velmortev/pending/mnt-velmor)" ]
}

# Until the passes are over and udev is idle, twice in a row a second apart;
# status 1 when they are not over within two and a half minutes (a pass
# over 36 devices takes up to a minute and a half under TCG on a loaded
# machine).
quiet() {
  for _ in 1 2; do
    udevadm settle
    within 150 passes_over || return 1
    sleep 1
  done
}

# The manager's node $1 is a block node with the device number of $2.
node_is() { [ -b "$manager/disks/$1" ] && [ "$(devno "$manager/disks/$1")" = "$(devno "$2")" ]; }
node_count() { ls "$manager/disks" | wc -l; }
