#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A simulated cluster on this machine: three inventory hosts with the local
# connection, each with a stand-in manager filesystem of its own over the
# same shared loop devices, driven by the collection's playbook. The whole
# test runs in a scratch world (testbed/scratch-world.sh), so the programs see
# a /proc/partitions that lists only its loop devices; the testbed's layer,
# tool and library reach the programs through the play's environment only.
#   cluster-test.sh SOURCE_DIR BUILD_DIR [--show]
# --show prints the inventory and the output of every run of the playbook.
set -uo pipefail

if [ "${1-}" != inside ]; then
  source_dir=$(cd "$1" && pwd) build=$(cd "$2" && pwd) show=${3-}
  # shellcheck source=../../../tests/functions.sh
  . "$source_dir/tests/functions.sh"
  # shellcheck disable=SC2034  # read by unavailable, when the library is not followed
  test_name="the cluster test"
  [ "$(id -u)" -eq 0 ] || unavailable "needs root"
  # shellcheck source=../ansible-env.sh
  . "$source_dir/ansible/tests/ansible-env.sh"
  require_ansible_env "$build" "the cluster test"
  collections=$(mktemp -d)
  trap 'rm -rf "$collections"' EXIT
  install_collection "$source_dir" "$collections" || exit 1
  "$source_dir/testbed/scratch-world.sh" --build "$build" --disks 2 -- \
    bash "$0" inside "$source_dir" "$build" "$collections" "$show"
  exit $?
fi

# Inside the scratch world.
source_dir=$2 build=$3 collections=$4 show=$5
# shellcheck source=../../../tests/functions.sh
. "$source_dir/tests/functions.sh"
dir=$VLM_SCRATCH_DIR
read -r whole part <<<"$VLM_SCRATCH_DISKS"
# What the programs need goes to the play; Ansible itself runs without it.
layer=$LD_PRELOAD kit_path=$PATH
unset LD_PRELOAD LD_LIBRARY_PATH VLM_TESTBED_MANAGERS VLM_TESTBED_MANAGER
PATH=${PATH#"$build/sbin:$build/testbed/bin:"}

# Each host's front end has settings of its own: its manager, and backups
# in the scratch directory.
for i in 1 2 3; do
  mkdir "$dir/node$i"
  mount -t tmpfs -o mode=0755 "vlm-node$i" "$dir/node$i"
  mkdir "$dir/node$i/disks" "$dir/node$i.etc" "$dir/node$i.etc/conf.d"
  printf 'MANAGERS=%s\nBACKUP_DIR=%s\n' "$dir/node$i" "$dir/node$i.backups" >"$dir/node$i.etc/velmortev.conf"
done
{
  echo "cluster:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: '{{ ansible_playbook_python }}'"
  echo "    disk_device: $part"
  echo "    disk_label: data1"
  echo "  hosts:"
  for i in 1 2 3; do
    echo "    node$i:"
    echo "      manager: $dir/node$i"
    echo "      kit_environment:"
    echo "        PATH: $kit_path"
    echo "        LD_LIBRARY_PATH: $build/testbed"
    echo "        LD_PRELOAD: $layer"
    echo "        VLM_TESTBED_MANAGERS: $dir/node$i"
    echo "        VLM_TESTBED_MANAGER: $dir/node$i"
    echo "        VLM_TESTBED_GEOMETRY: $part=2048"
    echo "        VELMORTEV_CONFIG_DIR: $dir/node$i.etc"
  done
} >"$dir/inventory.yml"
if [ "$show" = --show ]; then
  echo "# inventory.yml"
  cat "$dir/inventory.yml"
fi
# Ansible's files of this run stay in the scratch directory.
export HOME=$dir/home ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_NOCOLOR=1 \
  ANSIBLE_CONFIG=$dir/ansible.cfg ANSIBLE_PIPELINING=1
mkdir "$HOME"
: >"$dir/ansible.cfg"
cd "$dir" || exit 1

# play sets status and out.
status=0 out=
# shellcheck source=play-lib.sh
. "$collections/ansible_collections/velmortev/disks/tests/cluster/play-lib.sh"
label_of() { LD_PRELOAD=$layer "$build/sbin/velmortev-read-label" "$1"; }
number_of() { printf '%d:%d' "0x$(stat -c %t "$1")" "0x$(stat -c %T "$1")"; }
# Every host's manager holds exactly the block node $1 for the partition.
nodes_are() {
  local i
  for i in 1 2 3; do
    [ "$(ls "$dir/node$i/disks")" = "$1" ] && [ -b "$dir/node$i/disks/$1" ] &&
      [ "$(number_of "$dir/node$i/disks/$1")" = "$(number_of "$part")" ] || return 1
  done
}
recap_is() {  # recap_is CHANGED1 CHANGED2 CHANGED3 FAILED
  recap_has node1 "$1" 0 "$4" && recap_has node2 "$2" 0 "$4" && recap_has node3 "$3" 0 "$4"
}
# The output of the last run does not hold $1.
lacks() { ! grep -qF "$1" <<<"$out"; }
# The last run ended well and changed nothing.
unchanged() { [ "$status" -eq 0 ] && recap_is 0 0 0 0; }

play --check --diff
expect "check mode ends with 0 ($status)" test "$status" -eq 0
expect "the playbook runs without the warning of a playbook inside a collection" \
  lacks 'running playbook inside collection'
expect "check mode shows the diff of the label" grep -qxF "+DATA1:$part" <<<"$out"
expect "check mode reports the label it would write" \
  grep -qF "\"label: Would label $part DATA1\"" <<<"$out"
expect "check mode reports no device as it is before the run" lacks "\"$part: "
expect "check mode writes no label" test -z "$(label_of "$part")"
expect "check mode creates no node" test -z "$(find "$dir"/node*/disks -mindepth 1)"
predicted=$(outcomes)

play
expect "the first run ends with 0 ($status)" test "$status" -eq 0
expect "the first run writes the label" test "$(label_of "$part")" = "DATA1:$part"
expect "check mode predicted what the run did: [$predicted], the run [$(outcomes)]" \
  test "$(outcomes)" = "$predicted"
expect "exactly one host writes the label" \
  test "$(task_hosts 'Label the shared disk on one node' | wc -l)" -eq 1
expect "every host's manager has the node DATA1" nodes_are DATA1
expect "the first run's recap" recap_is 1 1 1 0
expect "the labelling host reports the node its label made" \
  grep -qF "\"label: Created node $dir/node1/disks/DATA1 for $part\"" <<<"$out"
expect "every other host reports the node its scan created" \
  test "$(grep -c '"tevscan created: DATA1, removed: -"' <<<"$out")" -eq 2
expect "every host reports the disk" test "$(grep -c "\"$part: DATA1\"" <<<"$out")" -eq 3

play
expect "a second run changes nothing ($status)" unchanged

play --check
expect "check mode after the run predicts no change ($status)" unchanged

play -e disk_label=other
expect "another label is refused without replace_label" test "$status" -ne 0
expect "the refusal is the front end's message" grep -qF \
  "\"msg\": \"velmortev: Device \\\"$part\\\" already carries the label \\\"DATA1\\\" (--replace replaces it)\"" <<<"$out"
expect "the refusal carries the front end's status" grep -qF '"rc": 239' <<<"$out"
expect "the refused label leaves the device alone" test "$(label_of "$part")" = "DATA1:$part"

run=$((run + 1))
# Imported, as the playbook is: no warning of a playbook inside a collection.
printf -- '---\n- ansible.builtin.import_playbook: %s\n' \
  "$collections/ansible_collections/velmortev/disks/tests/cluster/module-checks.yml" >checks.yml
if ansible-playbook -i inventory.yml -e target=node3 -e "stale_device=$whole" \
  -e "part_number=$(number_of "$part")" -e "kit_sbin=$build/sbin" checks.yml >"run$run.txt" 2>&1 &&
  ! grep -q 'running playbook inside collection' "run$run.txt"; then
  pass "the module checks"
else
  fail "the module checks" "$(cat "run$run.txt")"
fi

play -e disk_label=data2 -e force_label=true --check
expect "check mode predicts the relabel's scans" \
  test "$(grep -c '"tevscan created: DATA2, removed: DATA1' <<<"$out")" -eq 2
predicted=$(outcomes)
# force_label, the old name of replace_label.
play -e disk_label=data2 -e force_label=true
expect "the relabel ends with 0 ($status)" test "$status" -eq 0
expect "check mode predicted the relabel: [$predicted], the run [$(outcomes)]" \
  test "$(outcomes)" = "$predicted"
expect "force_label replaces the label" test "$(label_of "$part")" = "DATA2:$part"
expect "the managers hold just the node DATA2" nodes_are DATA2
expect "the relabel's recap" recap_is 1 1 1 0
expect "the scan reports the nodes it removed" \
  grep -qF '"tevscan created: DATA2, removed: DATA1 STALE"' <<<"$out"

# Loop devices have no WWID or serial number: the cluster-wide check leaves
# them out, saying so for each host, and passes.
playbook=velmortev.disks.cluster_check play
expect "the cluster check passes on disks without identity ($status)" test "$status" -eq 0
expect "the cluster check names each host's disk that it leaves out" test "$(grep -c \
  "node[123]: label DATA2 on $part: the device has no WWID" <<<"$out")" -eq 3

finish_plays "cluster: $run runs of three hosts"
