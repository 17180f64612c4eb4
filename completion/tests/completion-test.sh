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
fi

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
