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

echo "FIGURE: checks took $(($(date +%s) - checks_started)) s"
finish
