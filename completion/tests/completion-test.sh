#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Sources the completion script and checks what it offers, the way bash asks
# for it: COMP_WORDS and COMP_CWORD set, the registered function called, the
# answer read from COMPREPLY.
# Usage: completion-test.sh COMPLETION_SCRIPT SBIN_DIR
set -uo pipefail
script=$1 sbin=$2
# shellcheck source=../velmortev.bash
source "$script" || exit 1
# shellcheck source=../../tests/functions.sh
. "$(dirname "$0")/../../tests/functions.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs the completion for the words given (the last is the word being
# completed) and prints the offers sorted, one line.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    local function
    function=$(complete -p "$1" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    [[ $function ]] || { echo "(no completion for $1)"; return; }
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

# The offers for the words are exactly WANT.   expect_offers WHAT WANT WORD...
expect_offers() {
    local what=$1 want=$2
    shift 2
    local got
    got=$(offers "$@")
    if [[ $got == "$want" ]]; then
        pass "$what"
    else
        fail "$what" "words ($*): offered [$got], expected [$want]"
    fi
}

# Root-only cases are skipped elsewhere, but never in CI.
can_or_skip() {
    if "$@" 2>/dev/null; then return 0; fi
    if [[ ${CI-} == true ]]; then
        fail "cannot run '$*' (needed for a case)"
    else
        echo "SKIP: cases needing '$*' (not root?)"
    fi
    return 1
}

# Every program that is built has a completion.
for program in "$sbin"/*; do
    name=${program##*/}
    expect "a completion for $name" complete -p "$name" >/dev/null 2>&1
done

# Options of each program, long ones included; only the write name takes -f.
expect_offers "read-label options" "--help --version -V -h -r" velmortev-read-label -
expect_offers "write-label options" "--help --version -V -c -d -f -h -r" velmortev-write-label -
expect_offers "candidate long options" "--force" velmortev-candidate-p --f
expect_offers "scan options" "--help --version -D -V -h -o -x" velmortev-scan-partitions -
expect_offers "tevscan takes no long options" "" tevscan --
expect_offers "tevscan options" "-V -h -l -s -x" tevscan -
expect_offers "reload offers its options for an operand" "--help --version -V -h" velmortev-reload-partitions ""
expect_offers "discover has no options" "'VLMR:*'" velmortev-discover ""
expect_offers "options after an operand" "--help" velmortev-read-label /dev/null --he
expect_offers "nothing after the last operand" "" velmortev-read-label /dev/null ""
expect_offers "nothing after the manager's label" "" velmortev-clean-disk -l /tmp DATA1 ""
expect_offers "tevscan offers its options" "-V -h -l -s -x" tevscan -l /tmp ""
# The front end: verbs first, common options anywhere, a verb's own after it.
expect_offers "front end verbs" "check config create delete list metrics rename restore scan show" velmortev ""
expect_offers "front end verb by prefix" "rename restore" velmortev re
expect_offers "front end common options" "--help --manager --output --version --yes -V -h -m -o -y" velmortev -
expect_offers "verb after common options" "list" velmortev -m /tmp -o json -y l
expect_offers "the long output option takes json" "json" velmortev list --output j
expect_offers "create options" "--dry-run --help --manager --output --replace --version --wipe-signatures --yes" velmortev create --
expect_offers "delete options" "--device --dry-run" velmortev -y delete --d
expect_offers "scan takes a dry run only" "--dry-run" velmortev scan --dr
expect_offers "list and config write nothing" "" velmortev config --dr
expect_offers "the output format" "json" velmortev -o ""
expect_offers "metrics writes to a directory" "--textfile" velmortev metrics --t
expect_offers "a verb word after -- is an operand" "" velmortev -- -n ""
expect_offers "an unknown verb, nothing offered" "" velmortev frobnicate ""

# Device operands: block devices and the directories leading to them.
mkdir -p "$scratch/dev/sub" && touch "$scratch/dev/file"
if can_or_skip mknod "$scratch/dev/blk0" b 7 250 && mknod "$scratch/dev/blk1" b 7 251; then
    expect_offers "device operand" "$scratch/dev/blk0 $scratch/dev/blk1 $scratch/dev/sub/" \
        velmortev-read-label "$scratch/dev/"
    expect_offers "device after options" "$scratch/dev/blk1" velmortev-candidate-p -v -f "$scratch/dev/blk1"
    expect_offers "instantiate: the device comes first" "$scratch/dev/blk0" \
        velmortev-instantiate-disk -l "$scratch" "$scratch/dev/blk0"
    expect_offers "write-label: the label operand is free text" "" \
        velmortev-write-label -f "$scratch/dev/blk0" ""
    expect_offers "write-label -d takes the device only" "" \
        velmortev-write-label -d "$scratch/dev/blk0" ""
    expect_offers "after --, a word with a dash is an operand" "" velmortev-read-label -- -r ""
    expect_offers "front end create: the device first" "$scratch/dev/blk0 $scratch/dev/blk1 $scratch/dev/sub/" \
        velmortev create "$scratch/dev/"
    expect_offers "front end create: the label is free text" "" velmortev -n create "$scratch/dev/blk0" ""
    expect_offers "front end show: a path is a device" "$scratch/dev/blk1" velmortev show "$scratch/dev/blk1"
    expect_offers "front end delete --device" "$scratch/dev/blk0" velmortev delete --device "$scratch/dev/blk0"
    expect_offers "front end restore: a backup file, then the device" "$scratch/dev/blk1" \
        velmortev restore "$scratch/dev/file" "$scratch/dev/blk1"
fi
expect_offers "front end restore: the backup is a file" "$scratch/dev/file" velmortev restore "$scratch/dev/fi"

# Manager directories and the labels under disks/.
mkdir -p "$scratch/manager/disks" && touch "$scratch/manager/disks/"{DATA1,DATA2,OTHER}
expect_offers "manager is a directory" "$scratch/manager/" velmortev-clean-disk -l "$scratch/man"
expect_offers "labels of the manager" "DATA1 DATA2" velmortev-clean-disk -l "$scratch/manager" D
expect_offers "lower case is folded" "DATA1 DATA2" velmortev-clean-disk -l "$scratch/manager" da
expect_offers "manager given after the label word" "OTHER" velmortev-clean-disk "-l$scratch/manager" O
expect_offers "the last -l counts" "" velmortev-clean-disk -l "$scratch/manager" -l "$scratch/dev" D
expect_offers "no manager, no labels" "" velmortev-clean-disk D
expect_offers "one label only" "" velmortev-clean-disk -l "$scratch/manager" DATA1 D
expect_offers "scan directory" "$scratch/dev/sub/" velmortev-scan-partitions -D "$scratch/dev/s"
expect_offers "front end labels of -m" "DATA1 DATA2" velmortev -m "$scratch/manager" delete D
expect_offers "front end labels of every -m, each once" "DATA1 DATA2 OTHER" \
    velmortev show -m "$scratch/dev" "-m$scratch/manager" --manager "$scratch/manager" ""
expect_offers "front end rename: the new label is free text" "" velmortev -m "$scratch/manager" rename DATA1 ""
expect_offers "front end create takes no label to complete" "" velmortev -m "$scratch/manager" create D

# Without -m, the front end's labels come from the managers of its settings,
# the last file setting MANAGERS winning, else from the mounted managers;
# both seen here in a private mount namespace.
if can_or_skip unshare -m true; then
    mkdir -p "$scratch/etc/conf.d" "$scratch/other/disks" "$scratch/empty" "$scratch/mounted"
    touch "$scratch/other/disks/ELSE"
    printf 'MANAGERS="%s"\n' "$scratch/other" >"$scratch/etc/velmortev.conf"
    printf '# later\nMANAGERS=%s\n' "$scratch/manager" >"$scratch/etc/conf.d/50-site.conf"
    printf 'MANAGERS="%s"\n' "$scratch/other" >"$scratch/etc/conf.d/10-first.conf"
    got=$(unshare -m bash -c '
        source "$2"
        labels() { COMP_WORDS=(velmortev delete ""); COMP_CWORD=2; COMPREPLY=()
                   _velmortev_front velmortev "" delete
                   printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "; }
        # No /etc/velmortev on this machine: one in a private /etc.
        [ -d /etc/velmortev ] || { mount -t tmpfs none /etc && mkdir /etc/velmortev; } || exit 1
        mount --bind "$1/etc" /etc/velmortev || exit 1
        labels
        mount --bind "$1/empty" /etc/velmortev && mount -t tmpfs none "$1/mounted" || exit 1
        mkdir "$1/mounted/disks" && touch "$1/mounted/disks/MOUNTED"
        labels' bash "$scratch" "$script")
    want=$'DATA1 DATA2 OTHER\nMOUNTED'
    expect "front end managers: offered [$got], expected [$want]" test "$got" = "$want"
fi

# Scan patterns come from the kernel's partition table: a fake one here.
if can_or_skip unshare -m true; then
    cat >"$scratch/partitions" <<'TABLE'
major minor  #blocks  name

   7        0      65536 loop0
   8        0  104857600 sda
   8        1  104856576 sda1
   0        9          0 ghost
TABLE
    got=$(unshare -m bash -c '
        mount --bind "$1" /proc/partitions || exit 1
        source "$2"
        COMP_WORDS=(tevscan -l /mnt -s s); COMP_CWORD=4
        _velmortev tevscan s -s; echo "${COMPREPLY[*]}"
        COMP_WORDS=(velmortev-scan-partitions -x ""); COMP_CWORD=2
        _velmortev velmortev-scan-partitions "" -x; echo "${COMPREPLY[*]}"' \
        bash "$scratch/partitions" "$script")
    want=$'sda sda1\nloop0 sda sda1'
    expect "scan patterns: offered [$got], expected [$want]" test "$got" = "$want"
fi

finish "bash completion"
