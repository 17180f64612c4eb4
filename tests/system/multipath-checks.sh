# SPDX-License-Identifier: GPL-2.0-or-later
# The front end on a multipath map of a booted Debian system
# (system-test.sh BUILD checks multipath; multipath-setup.sh): the passes
# at boot and on events put the node of MP1 on the map, never on a path;
# velmortev list shows the map with its paths and the clone as a
# duplicate; create refuses the label elsewhere; the node reads on with a
# path gone. Run with the test library and the system tier's helpers
# (system-test.sh); a result line per check, its status ends the VM.
# shellcheck shell=dash disable=SC2154  # manager, unit: system-lib.sh
# The kernel name of the multipath map (not of a partition's map on it).
map() {
  local dir
  for dir in /sys/block/dm-*; do
    case $(cat "$dir/dm/uuid" 2>/dev/null) in
      mpath-*) echo "${dir##*/}"; return 0 ;;
    esac
  done
  return 1
}
path_count_is() { [ "$(ls "/sys/block/$(map)/slaves" 2>/dev/null | wc -l)" -eq "$1" ]; }
map_paths() { ls "/sys/block/$1/slaves" | sed 's|^|/dev/|' | paste -sd, -; }
# MP1's node stands for the map, and it is the manager's only node.
node_on_map() {
  [ -b "$manager"/disks/MP1 ] && [ "$(devno "$manager"/disks/MP1)" = "$(devno "/dev/$(map)")" ] &&
    [ "$(ls "$manager"/disks)" = MP1 ]
}
show_state() {
  multipath -ll 2>&1 | sed 's/^/  multipath: /'
  ls -l "$manager"/disks | sed 's/^/  node: /'
  velmortev list 2>&1 | sed 's/^/  list: /'
}

echo "FIGURE: checks start $(cut -d' ' -f1 /proc/uptime) s after the kernel"
checks_started=$(date +%s)
expect "multipathd made one map of the two SCSI paths at boot" within 30 path_count_is 2
m=$(map) || m=none
paths=$(map_paths "$m")
conf=/etc/velmortev/conf.d/50-multipath.conf
expect "velmortev config: the conf.d file sets the scan order and the exclude pattern" \
  test "$(velmortev config | grep SCAN_)" = "$(printf 'SCAN_ORDER="dm"\t# %s:1\nSCAN_EXCLUDE="sd"\t# %s:2' $conf $conf)"
quiet
expect "the boot-time pass put MP1 on the map /dev/$m, not on a path or the clone" node_on_map
expect "the passes ended well" test "$(systemctl show -P Result "$unit")" = success
node_on_map || show_state

# The clone on /dev/vdb carries MP1 too; the paths are left out.
listed=$(velmortev list -m "$manager")
row_of() { echo "$listed" | grep "^MP1 $1 "; }
map_row_ok() { row_of "/dev/$m" | grep -q " map=/dev/$m([^)]*) paths=$paths .*duplicate-of=/dev/vdb$"; }
clone_row_ok() { row_of /dev/vdb | grep -q " map=- .*duplicate-of=/dev/$m$"; }
expect "velmortev list: the map with both paths ($paths) and the clone as a duplicate" map_row_ok
expect "velmortev list: the clone, a duplicate of the map alone (its paths are the map)" clone_row_ok
expect "velmortev list: the paths are left out, not listed as devices" \
  test "$(echo "$listed" | grep -c "^left out /dev/sd")$(echo "$listed" | grep -c "^MP1 /dev/sd")" = 20
# The JSON document's rows (shown when they are not as expected).
json_rows_ok() {
  velmortev list -m "$manager" -o json >/tmp/list.json && python3 - /dev/"$m" "$paths" <<'EOF' ||
import json, sys
map_dev, paths = sys.argv[1], sys.argv[2].split(",")
doc = json.load(open("/tmp/list.json"))
rows = {row["device"]: row for row in doc["devices"]}
on_map = rows[map_dev]
assert doc["version"]["major"] >= 1, doc["version"]
assert sorted(rows) == sorted([map_dev, "/dev/vdb"]), sorted(rows)
assert on_map["label"] == "MP1" and on_map["duplicates"] == ["/dev/vdb"], on_map
assert on_map["multipath"]["map"] == map_dev and on_map["multipath"]["paths"] == paths, on_map
assert [n["this_device"] for n in on_map["nodes"]] == [True], on_map
assert rows["/dev/vdb"]["duplicates"] == [map_dev], rows["/dev/vdb"]
assert sorted(doc["excluded"]) == paths, doc["excluded"]
EOF
    { cat /tmp/list.json; return 1; }
}
expect "velmortev list -o json: the map's row with its paths, the clone, the paths excluded" json_rows_ok

# create of the label on the blank partition: refused, naming a carrier.
before=$(md5sum </dev/vdc)
out=$(velmortev create -y -m "$manager" /dev/vdc1 MP1 2>&1)
status=$?
refused_naming_carrier() {
  [ "$status" -eq 239 ] && echo "$out" | grep -Eq "Label \"MP1\" is already carried by \"/dev/($m|vdb)\""
}
blank_unchanged() { [ "$(md5sum </dev/vdc)" = "$before" ] && node_on_map; }
expect "velmortev create /dev/vdc1 MP1: refused with -EEXIST, naming the map or the clone ($out)" \
  refused_naming_carrier
expect "velmortev create: the blank disk is unchanged, the node too" blank_unchanged

# A third path comes: its events' pass leaves the node on the map.
before=$(passes mnt-velmor)
monitor device_add scsi-hd,bus=scsi.0,drive=mpc,id=mpc,scsi-id=0,lun=3,wwn=0x5000c5001234abc1,serial=VLMMP1,share-rw=on
expect "the hot-added path joined the map" within 60 path_count_is 3
quiet
expect "the hot-added path's event pass ran ($(($(passes mnt-velmor) - before)) passes)" \
  test "$(passes mnt-velmor)" -gt "$before"
expect "after the event pass MP1 is still the map's node, not the new path's" node_on_map
node_on_map || show_state

# A path goes: the map keeps the other two, and the node reads on.
monitor device_del mpa
expect "the removed path left the map" within 60 path_count_is 2
quiet
first_mib() { dd if="$1" bs=1M count=1 iflag=direct 2>/dev/null | md5sum; }
reads_the_image() { [ "$(first_mib "$manager"/disks/MP1)" = "$(first_mib /dev/vdb)" ]; }
expect "with a path gone, MP1 reads the image (the clone's first MiB)" reads_the_image
expect "with a path gone, MP1 is still the map's node" node_on_map
paths=$(map_paths "$m")
listed_with_paths_left() { velmortev list -m "$manager" | grep -q "^MP1 /dev/$m .* paths=$paths "; }
expect "velmortev list: the map with the paths left ($paths)" listed_with_paths_left
node_on_map || show_state

# velmortev check as the machine changes, a row per change: check's exit
# status and the ids of its findings after it. Each row's output is kept
# in /tmp/check.ROW for the checks below the table.
ok_id=5f0c3a9e7d2b4c61a8e4f2b7c90d1e36
failed_id=b41e6d2c98a74f0d9c3b5e1a7f2d8c40
prom=/var/lib/prometheus/node-exporter/velmortev.prom
unplug_clone() {
  monitor device_del clone
  within 60 test ! -b /dev/vdb || echo "  /dev/vdb is still there"
  quiet
}
plug_clone() {
  monitor device_add virtio-blk-pci,drive=clonedrive,id=clone,addr=0x10
  within 60 test -b /dev/vdb || echo "  /dev/vdb did not come back"
  quiet
}
# mknod NAME onto the device number of DEVICE.
node_onto() {
  # shellcheck disable=SC2046  # major and minor, two words
  mknod "$manager/disks/$1" b $(devno "$2" | tr : ' ')
}
node_onto_path() {
  rm "$manager"/disks/MP1
  node_onto MP1 "/dev/$(ls "/sys/block/$m/slaves" | head -n1)"
}
stale_node() {
  rm "$manager"/disks/MP1
  node_onto STALE1 /dev/vdc1
}
# The pass cannot remove STALE1: -EROFS. Its metrics are kept for below.
pass_read_only() {
  mount -o remount,ro "$manager" || echo "  $manager was not remounted read-only"
  systemctl start "$unit" 2>/dev/null
  within 150 test "$(systemctl is-active "$unit")" = failed
  cp "$prom" /tmp/failed.prom
}
pass_writable() {
  mount -o remount,rw "$manager"
  pass_started=$(date +%s)
  systemctl start "$unit"
  quiet
  pass_ended=$(date +%s)
}
check_ids() {
  velmortev check >"/tmp/check.$1"
  local status=$? ids
  ids=$(sed -n 's/^[A-Z]* \([a-z-]*\): .*/\1/p' "/tmp/check.$1" | sort -u | paste -sd' ' -)
  echo "$status${ids:+ $ids}"
}
row=0
while IFS='|' read -r change expected what; do
  row=$((row + 1))
  $change </dev/null
  got=$(check_ids $row </dev/null)
  if [ "$got" = "$expected" ]; then
    pass "velmortev check, $what: $expected"
  else
    fail "velmortev check, $what: $expected" "got: $got" "$(cat /tmp/check.$row)"
  fi
done <<'EOF'
:|2 duplicate-label|the clone of MP1 on /dev/vdb
unplug_clone|0|the clone unplugged (device_del)
plug_clone|2 duplicate-label|the clone plugged in again (device_add)
unplug_clone|0|the clone unplugged again
node_onto_path|1 node-on-path|MP1's node moved onto a path of the map
stale_node|2 missing-node stale-node|MP1's node gone, STALE1 on the blank partition
pass_read_only|2 last-pass-failed missing-node stale-node|a pass on the manager mounted read-only
pass_writable|0|a pass on the manager writable again
EOF
expect "velmortev check: the failed pass's status decoded as EROFS" \
  grep -q "^CRITICAL last-pass-failed: .* status 226 EROFS (Read-only file system)$" /tmp/check.7

# The journal: one record per pass, the last failed and the last good one
# with their counts of nodes.
records() {
  journalctl --sync
  journalctl -b -o cat MESSAGE_ID=$ok_id MESSAGE_ID=$failed_id VELMORTEV_MANAGER="$manager" | wc -l
}
record_fields() {
  journalctl -b -n1 -o export MESSAGE_ID="$1" |
    sed -n 's/^VELMORTEV_\(NODES_[A-Z]*\|ERRNO\|STATUS\)=/\1=/p' | sort | paste -sd' ' -
}
expect "journal: one pass record per pass ($(records) records, $(passes mnt-velmor) passes)" \
  test "$(records)" -eq "$(passes mnt-velmor)"
check "journal: the read-only pass's record" 0 "ERRNO=EROFS NODES_CREATED=0 NODES_REMOVED=0 STATUS=226" \
  "record_fields $failed_id"
check "journal: the next pass's record: STALE1 removed, MP1 created" 0 \
  "NODES_CREATED=1 NODES_REMOVED=1 STATUS=0" "record_fields $ok_id"

# The metrics each pass wrote: promtool accepts them, and they carry the
# pass's end (the time of its record) and status.
metric() { awk -v name="$1{manager=\"$manager\"}" '$1 == name { print $2 }' "${2:-$prom}"; }
record_time() {
  journalctl -b -n1 -o export MESSAGE_ID=$ok_id | sed -n 's/^__REALTIME_TIMESTAMP=//p'
}
near() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a - b < 2 && b - a < 2) }'; }
end=$(metric velmortev_last_pass_end_timestamp_seconds)
if command -v promtool >/dev/null; then
  check "promtool check metrics accepts the metrics of the last pass" 0 "" "promtool check metrics <$prom"
  check "promtool check metrics accepts the metrics of the failed pass" 0 "" \
    "promtool check metrics </tmp/failed.prom"
else
  fail "promtool is not in the guest (Debian's prometheus on the host)"
fi
ends_with_pass() {
  near "$end" "$(($(record_time) / 1000000))" && [ "${end%.*}" -ge "$pass_started" ] &&
    [ "${end%.*}" -le "$pass_ended" ]
}
expect "metrics: the last pass's end ($end) is its record's time, within $pass_started..$pass_ended" \
  ends_with_pass
expect "metrics: the last pass succeeded at its end, status 0" \
  test "$(metric velmortev_last_pass_success_timestamp_seconds) $(metric velmortev_last_pass_status)" = "$end 0"
failed_end=$(metric velmortev_last_pass_end_timestamp_seconds /tmp/failed.prom)
last_good=$(metric velmortev_last_pass_success_timestamp_seconds /tmp/failed.prom)
expect "metrics after the failed pass: status 226, the last success ($last_good) before it ($failed_end)" \
  test "$(metric velmortev_last_pass_status /tmp/failed.prom)" = 226 -a "${last_good%.*}" -lt "${failed_end%.*}"

echo "FIGURE: checks took $(($(date +%s) - checks_started)) s"
finish
