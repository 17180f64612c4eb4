# SPDX-License-Identifier: GPL-2.0-or-later
# The front end on a multipath map of a booted Debian system
# (system-test.sh BUILD checks multipath; multipath-setup.sh): the passes
# at boot and on events put the node of MP1 on the map, never on a path;
# velmortev list shows the map with its paths and the clone as a
# duplicate; create refuses the label elsewhere; the node reads on with a
# path gone. One PASS or FAIL line per check, then the status line.
. /root/guest-lib.sh
manager=/mnt/velmor
unit=tevscan@mnt-velmor.service
failed=0
pass() { echo "PASS: $1"; }
fail() { echo "FAIL: $1"; failed=$((failed + 1)); }
expect() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
monitor() { echo "velmortev-vm: monitor $*"; }
# within SECONDS COMMAND...: until the command succeeds.
within() {
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}
idle() {
  udevadm settle && [ "$(systemctl is-active $unit)" = inactive ] &&
    [ -z "$(ls /run/velmortev/pending/mnt-velmor)" ]
}
# No pass runs or is due, twice a second apart.
quiet() { within 90 idle && sleep 1 && within 90 idle; }
passes() {
  journalctl --sync
  journalctl -b -o cat MESSAGE_ID=7d4958e842da4a758f6c1cdc7b36dcc5 UNIT=$unit | wc -l
}

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
  [ -b $manager/disks/MP1 ] && [ "$(devno $manager/disks/MP1)" = "$(devno "/dev/$(map)")" ] &&
    [ "$(ls $manager/disks)" = MP1 ]
}
show_state() {
  multipath -ll 2>&1 | sed 's/^/  multipath: /'
  ls -l $manager/disks | sed 's/^/  node: /'
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
expect "the passes ended well" test "$(systemctl show -P Result $unit)" = success
node_on_map || show_state

# The clone on /dev/vdb carries MP1 too; the paths are left out.
listed=$(velmortev list -m $manager)
row_of() { echo "$listed" | grep "^MP1 $1 "; }
expect "velmortev list: the map with both paths ($paths) and the clone as a duplicate" \
  eval 'row_of /dev/$m | grep -q " map=/dev/$m([^)]*) paths=$paths .*duplicate-of=/dev/vdb$"'
expect "velmortev list: the clone, a duplicate of the map alone (its paths are the map)" \
  eval 'row_of /dev/vdb | grep -q " map=- .*duplicate-of=/dev/$m$"'
expect "velmortev list: the paths are left out, not listed as devices" \
  test "$(echo "$listed" | grep -c "^left out /dev/sd")$(echo "$listed" | grep -c "^MP1 /dev/sd")" = 20
# The JSON document's rows (shown when they are not as expected).
json_rows_ok() {
  velmortev list -m $manager -o json >/tmp/list.json && python3 - /dev/$m "$paths" <<'EOF' ||
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
out=$(velmortev create -y -m $manager /dev/vdc1 MP1 2>&1)
status=$?
expect "velmortev create /dev/vdc1 MP1: refused with -EEXIST, naming the map or the clone ($out)" \
  eval 'test $status -eq 239 && echo "$out" | grep -Eq "Label \"MP1\" is already carried by \"/dev/($m|vdb)\""'
expect "velmortev create: the blank disk is unchanged, the node too" \
  eval 'test "$(md5sum </dev/vdc)" = "$before" && node_on_map'

# A third path comes: its events' pass leaves the node on the map.
before=$(passes)
monitor device_add scsi-hd,bus=scsi.0,drive=mpc,id=mpc,scsi-id=0,lun=3,wwn=0x5000c5001234abc1,serial=VLMMP1,share-rw=on
expect "the hot-added path joined the map" within 60 path_count_is 3
quiet
expect "the hot-added path's event pass ran ($(($(passes) - before)) passes)" test "$(passes)" -gt "$before"
expect "after the event pass MP1 is still the map's node, not the new path's" node_on_map
node_on_map || show_state

# A path goes: the map keeps the other two, and the node reads on.
monitor device_del mpa
expect "the removed path left the map" within 60 path_count_is 2
quiet
expect "with a path gone, MP1 reads the image (the clone's first MiB)" \
  eval 'test "$(dd if=$manager/disks/MP1 bs=1M count=1 iflag=direct 2>/dev/null | md5sum)" = "$(dd if=/dev/vdb bs=1M count=1 iflag=direct 2>/dev/null | md5sum)"'
expect "with a path gone, MP1 is still the map's node" node_on_map
paths=$(map_paths "$m")
expect "velmortev list: the map with the paths left ($paths)" \
  eval 'velmortev list -m $manager | grep -q "^MP1 /dev/$m .* paths=$paths "'
node_on_map || show_state

echo "FIGURE: checks took $(($(date +%s) - checks_started)) s"
echo "velmortev-vm: status $failed"
