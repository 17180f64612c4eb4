# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# Helpers for the guest scripts of both VM tiers, sourced after
# tests/functions.sh by the VM's init (busybox sh) or, in the system tier,
# before the guest script and by the setup (dash).

# Loads a module and its dependencies in order; the arguments after the name
# are the module's parameters. A dependency loaded already is passed over.
load_module() {
  local name=$1 files file last
  shift
  files=$(sed -n "s/^$name //p" /etc/modules.order)
  [ -n "$files" ] || { echo "no module $name" >&2; return 1; }
  last=${files##* }
  for file in $files; do
    if [ "$file" = "$last" ]; then
      insmod "/lib/modules/$KERNEL_ABI/$file" "$@" || return 1
    else
      insmod "/lib/modules/$KERNEL_ABI/$file" 2>/dev/null || true
    fi
  done
}

# Waits up to ten seconds for a path to appear.
wait_for() {
  within 10 test -e "$1" || { echo "timed out waiting for $1" >&2; return 1; }
}

# Prints a little-endian 32-bit number as four octal escapes for printf.
le32() {
  printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) \
    $(($1 >> 24 & 255))
}

# Writes a DOS partition table onto a whole disk: mbr DEVICE START:COUNT ...
# in logical sectors of the disk, up to four primary partitions of type
# 0x83. Only the table (bytes 446-511 of the first sector) is written.
mbr() {
  local device=$1 entry format='' n=0
  shift
  for entry in "$@"; do
    format="$format\\000\\000\\000\\000\\203\\000\\000\\000$(le32 "${entry%:*}")$(le32 "${entry#*:}")"
    n=$((n + 1))
  done
  while [ $n -lt 4 ]; do
    format="$format\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000"
    n=$((n + 1))
  done
  # shellcheck disable=SC2059  # the table is made of printf's escapes
  printf "$format\\125\\252" | dd of="$device" bs=1 seek=446 conv=notrunc 2>/dev/null
}

# The device numbers of nodes, MAJOR:MINOR in decimal, one line.
devno() {
  stat -c '%t %T' "$@" | while read -r major minor; do
    echo "$((0x$major)):$((0x$minor))"
  done | xargs
}

# The partition names in /proc/partitions, one line, in table order.
partitions() {
  awk 'NR > 2 { printf "%s%s", sep, $4; sep = " " } END { print "" }' /proc/partitions
}
