#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A real cluster: two Debian 12 guests under QEMU (the system tier's root,
# tests/system/), each with its own kernel, sshd and Python, both attached to
# one shared virtual disk, driven from this machine by the collection's
# playbook over SSH. SSH reaches the guests only through a forwarded port on
# the loopback (user-mode networking); the key is made per run; the
# collection is installed from its built tarball. A third inventory host
# that nobody answers for shows Ansible's handling of an unreachable node.
#   guests-test.sh SOURCE_DIR BUILD_DIR [--show]
# --show prints the inventory and the output of every run. Skipped (77) when
# it cannot run, failed under CI=true.
set -uo pipefail
source_dir=$(cd "$1" && pwd) build=$(cd "$2" && pwd) show=${3-}
system=$source_dir/tests/system
guests=(1 2)
started=$(date +%s)
# shellcheck source=../../../tests/functions.sh
. "$source_dir/tests/functions.sh"
# shellcheck disable=SC2034  # read by unavailable, when the library is not followed
test_name="the cluster of guests"
[ "$(id -u)" -eq 0 ] || unavailable "needs root"
for tool in ssh ssh-keygen mke2fs python3 qemu-system-x86_64; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed"
done
if [ ! -x "$system/make-root.sh" ] || [ ! -x "$system/boot-vm.sh" ]; then
  unavailable "no system tier in $system"
fi
if [ ! -x "$build/sbin/tevscan" ] || [ ! -x "$build/testbed/bin/tevtool" ]; then
  unavailable "build the kit first"
fi
# shellcheck source=../ansible-env.sh
. "$source_dir/ansible/tests/ansible-env.sh"
require_ansible_env "$build" "the cluster of guests"
# shellcheck disable=SC1091  # the source tree's, not the collection's
. "$source_dir/tests/vm/kernel-lib.sh"
vm_cache ""
vm_kernel
module_ko=  # set by vm_manager_module
vm_manager_module "$build"
image=$("$system/make-root.sh")
case $? in
  0) ;;
  77) unavailable "no Debian root (see above)" ;;
  *) fail "make-root.sh makes the Debian root"; exit 1 ;;
esac
echo "downloads and caches ready after $(($(date +%s) - started)) s"
started=$(date +%s)

dir=$(mktemp -d "${TMPDIR:-/tmp}/vlm-guests.XXXXXX")
boots=()
cleanup() {
  local pid
  for pid in "${boots[@]}"; do kill "$pid" 2>/dev/null; done
  wait
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir" || exit 1

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The shared disk: an MBR with two partitions of 16 MiB, the second an ext4
# filesystem, made here on the image file itself.
truncate -s 64M shared.img
python3 - shared.img <<'PY'
import struct, sys
def entry(start, count):
    return struct.pack('<BBBBBBBBII', 0, 0, 0, 0, 0x83, 0, 0, 0, start, count)
with open(sys.argv[1], 'r+b') as f:
    f.write(b'\0' * 446 + entry(2048, 32768) + entry(34816, 32768) + b'\0' * 32 + b'\x55\xaa')
PY
mke2fs -q -t ext4 -E offset=$((34816 * 512)) shared.img 16M || exit 1

# What every guest gets on its root: the key, the kit in /usr/local, the
# driver's stand-in tool and the manager filesystem, mounted at /mnt/velmor
# before sshd starts.
ssh-keygen -q -t ed25519 -N '' -C velmortev-cluster -f id || exit 1
payload=$dir/payload
install -d -m 0755 "$payload"/{etc,usr/local/sbin,usr/local/bin,usr/local/lib/velmortev}
install -d -m 0755 "$payload"/etc/systemd/system/multi-user.target.wants
install -d -m 0700 "$payload/root" "$payload/root/.ssh"
install -m 0600 id.pub "$payload/root/.ssh/authorized_keys"
cp -a "$build"/sbin/. "$payload/usr/local/sbin/"
cp "$build/testbed/bin/tevtool" "$payload/usr/local/bin/"
cp "$module_ko" "$payload/usr/local/lib/velmortev/"
cat >"$payload/etc/systemd/system/vlm-manager.service" <<'EOF'
[Unit]
Description=Manager filesystem of the disk driver's stand-in
Before=ssh.service

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/sbin/insmod /usr/local/lib/velmortev/vlmmgr.ko
ExecStart=/bin/mkdir -p /mnt/velmor
ExecStart=/bin/mount -t vlmmgr none /mnt/velmor
ExecStart=/bin/mkdir /mnt/velmor/disks

[Install]
WantedBy=multi-user.target
EOF
ln -s ../vlm-manager.service "$payload/etc/systemd/system/multi-user.target.wants/"

# The shared disk's identity, which the guests see as its WWID
# naa.$shared_wwn, as a real LUN has one.
shared_wwn=5000c50015ea7101
declare -A port
for i in "${guests[@]}"; do
  port[$i]=$(free_port)
  cp -a "$payload" "payload$i"
  echo "guest$i" >"payload$i/etc/hostname"
  "$system/boot-vm.sh" --image "$image" --payload "payload$i" --smp 1 --memory 768 \
    --hostfwd "tcp:127.0.0.1:${port[$i]}-:22" --console "console$i.log" --timeout 900 -- \
    -device virtio-scsi-pci,id=scsi0 \
    -drive "file=$dir/shared.img,format=raw,if=none,id=shared,file.locking=off" \
    -device "scsi-hd,drive=shared,bus=scsi0.0,share-rw=on,wwn=0x$shared_wwn,serial=VLMSHARED" >"guest$i.txt" 2>&1 &
  boots+=($!)
done
nobody=$(free_port)  # nothing listens there

ssh_options=(-i "$dir/id" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
             -o LogLevel=ERROR -o BatchMode=yes -o ConnectTimeout=30)
on() {  # on GUEST COMMAND...: runs a shell command on a guest
  local i=$1
  shift
  ssh "${ssh_options[@]}" -p "${port[$i]}" root@127.0.0.1 "$@"
}
for i in "${guests[@]}"; do
  deadline=$(($(date +%s) + 420))
  until on "$i" 'test -b /dev/sda2 && test -d /mnt/velmor/disks' 2>/dev/null; do
    if ! kill -0 "${boots[i - 1]}" 2>/dev/null || [ "$(date +%s)" -gt "$deadline" ]; then
      fail "guest$i comes up" "$(cat "guest$i.txt")"
      vm_show_end 30 "console$i.log"
      exit 1
    fi
    sleep 3
  done
done
echo "${#guests[@]} guests up after $(($(date +%s) - started)) s"

{
  echo "all:"
  echo "  vars:"
  echo "    ansible_host: 127.0.0.1"
  echo "    ansible_user: root"
  echo "    ansible_ssh_private_key_file: $dir/id"
  echo "    ansible_ssh_common_args: -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"
  echo "    ansible_python_interpreter: /usr/bin/python3"
  # Guests under emulation on a busy machine can be slow to greet.
  echo "    ansible_timeout: 60"
  echo "    disk_device: /dev/sda1"
  echo "    disk_label: data1"
  echo "    manager: /mnt/velmor"
  echo "    exclude: [vda]"
  echo "  children:"
  echo "    cluster:"
  echo "      hosts:"
  for i in "${guests[@]}"; do echo "        guest$i: {ansible_port: ${port[$i]}}"; done
  echo "    elsewhere:"
  echo "      hosts:"
  echo "        gone: {ansible_port: $nobody}"
} >inventory.yml
if [ "$show" = --show ]; then
  echo "# inventory.yml"
  cat inventory.yml
fi
mkdir home collections
export HOME=$dir/home ANSIBLE_COLLECTIONS_PATH=$dir/collections ANSIBLE_NOCOLOR=1 \
  ANSIBLE_CONFIG=$dir/ansible.cfg ANSIBLE_PIPELINING=1 ANSIBLE_SSH_CONTROL_PATH_DIR=$dir/cp
: >ansible.cfg
install_collection "$source_dir" "$dir/collections" || exit 1
# play sets status and out.
status=0 out=
# shellcheck source=play-lib.sh
. "$dir/collections/ansible_collections/velmortev/disks/tests/cluster/play-lib.sh"

# Runs one module on the hosts of PATTERN; the results, host by host, as
# JSON under adhoc$run/.   adhoc PATTERN MODULE ARGS [OPTION...]
adhoc() {
  local pattern=$1 module=$2 args=$3
  shift 3
  run=$((run + 1))
  ansible -i inventory.yml "$pattern" -m "velmortev.disks.$module" -a "$args" --tree "adhoc$run" "$@" \
    >"run$run.txt" 2>&1
  if [ "$show" = --show ]; then
    echo "# ansible -i inventory.yml '$pattern' -m velmortev.disks.$module -a '$args' $*"
    cat "run$run.txt"
  fi
}
# One field of a host's result in the last ad-hoc run.   result HOST FIELD
result() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1])).get(sys.argv[2]))' "adhoc$run/$1" "$2"
}
# Every guest has just the block node NAME, with the number of /dev/sda1.
nodes_are() {
  local i
  for i in "${guests[@]}"; do
    [ "$(on "$i" 'ls /mnt/velmor/disks; stat -L -c %t:%T /dev/sda1 /mnt/velmor/disks/*' | sort -u | wc -l)" -eq 2 ] &&
      [ "$(on "$i" ls /mnt/velmor/disks)" = "$1" ] || return 1
  done
}
label_on() { on "$1" velmortev-read-label /dev/sda1; }
# HOST's reply in the last ad-hoc run is the front end's message and status.
writer_refusal_of() { [ "$(result "$1" msg)"$'\n'"$(result "$1" rc)" = "$program" ]; }
# The last run ended well and changed nothing.
unchanged() { [ "$status" -eq 0 ] && recap_has guest1 0 0 0 && recap_has guest2 0 0 0; }
# guest2's relabel made its node already; guest1's scan followed it.
went_on_without_gone() { recap_has guest1 0 0 0 && recap_has guest2 0 0 0; }

play --check --diff
expect "check mode ends with 0 ($status)" test "$status" -eq 0
expect "check mode shows the diff of the label" grep -qxF '+DATA1:/dev/sda1' <<<"$out"
predicted=$(outcomes)
expect "check mode writes no label" test -z "$(label_on 1)$(label_on 2)"

play
expect "the first run ends with 0 ($status)" test "$status" -eq 0
expect "check mode predicted what the run did: [$predicted], the run [$(outcomes)]" \
  test "$(outcomes)" = "$predicted"
expect "guest1 alone writes the label" \
  test "$(task_hosts 'Label the shared disk on one node')" = "changed: [guest1]"
# guest2 had read the partition in check mode, before guest1 wrote it.
for i in "${guests[@]}"; do
  expect "guest$i reads DATA1 on /dev/sda1" test "$(label_on "$i")" = DATA1:/dev/sda1
done
expect "every guest has the node DATA1 of /dev/sda1" nodes_are DATA1

play
expect "a second run changes nothing ($status)" unchanged

adhoc guest2 label 'device=/dev/sda1 label=data2 replace=true manager=/mnt/velmor'
expect "guest2 relabels with replace" test "$(result guest2 changed)" = True
# The playbook wrote the exclude pattern as the front end's setting.
adhoc 'cluster:!guest2' scan 'manager=/mnt/velmor'
expect "guest1's scan follows the relabel" \
  test "$(result guest1 created) $(result guest1 removed)" = "['DATA2'] ['DATA1']"
expect "guest1's node follows the relabel" test "$(on 1 ls /mnt/velmor/disks)" = DATA2

# A partition mounted on guest1: refused there with the front end's message
# and status, in check mode and for real, while guest2 sees the filesystem.
# The label module finds the mounted manager itself.
expect "mounting /dev/sda2 on guest1" on 1 'mkdir -p /mnt/fs && mount /dev/sda2 /mnt/fs'
program=$(on 1 'velmortev create /dev/sda2 fs1 2>&1; echo $?')
expect "the front end refuses the mounted partition: $program" test "$program" = \
  $'velmortev: Unable to open device "/dev/sda2" exclusively: Device or resource busy\n240'
adhoc cluster label 'device=/dev/sda2 label=fs1' --check
expect "check mode on the mounted partition: $(result guest1 msg) $(result guest1 rc)" \
  writer_refusal_of guest1
expect "guest2 labels no filesystem without wipe_signatures: $(result guest2 msg)" \
  grep -qF 'holds signatures of other owners: ext4 at offset 1080 (--wipe-signatures erases them)' \
  <<<"$(result guest2 msg)"
adhoc guest1 label 'device=/dev/sda2 label=fs1 wipe_signatures=true'
expect "the mounted partition, its signatures to be wiped: $(result guest1 msg) $(result guest1 rc)" \
  writer_refusal_of guest1
on 1 umount /mnt/fs

play -e cluster_hosts=cluster:gone -e disk_label=data2
expect "a run with an unreachable host ends with 4 ($status)" test "$status" -eq 4
expect "the host gone is reported unreachable" recap_has gone 0 1 0
expect "the guests go on without the host gone" went_on_without_gone
expect "every guest has the node DATA2 of /dev/sda1" nodes_are DATA2

# The cluster-wide check, in a file of its own.
# shellcheck source=guests-cluster-check.sh
. "$dir/collections/ansible_collections/velmortev/disks/tests/cluster/guests-cluster-check.sh"

for i in "${guests[@]}"; do on "$i" 'echo "velmortev-vm: status 0" >/dev/ttyS1'; done
wait "${boots[@]}"
boots=()
finish_plays "cluster of guests: $run runs over SSH, $(($(date +%s) - started)) s after the downloads"
