# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=dash
# The shell test library. Every test script of the kit sources it, on this
# machine and inside the guests of the VM tiers, so that a skip, a check, a
# wait and a walk's step look and behave alike everywhere. It is POSIX sh
# (with `local`): guests run it under busybox sh (tests/vm/) and dash
# (tests/system/). The harness that boots a guest copies it in and sources
# it, then the guest helpers (tests/vm/guest-lib.sh, tests/system/
# system-lib.sh), then the guest script; the guest script's status ends the
# VM and becomes the harness's status.
#
# One result style, a line per check, as TAP writes them:
#     ok - NAME
#     not ok - NAME
#       # what was expected and what came, a line each
# and at the end "P passed, F failed".
#
#   test_name=NAME            names the test in its skip message (default:
#                             the script's file name)
#   unavailable REASON...     the test cannot run here (no root, a tool or a
#                             download missing): ends the script with 77,
#                             which ctest counts as skipped (give the test
#                             SKIP_RETURN_CODE 77), or with 1 under CI=true,
#                             where nothing may be skipped
#   pass NAME                 counts a passed check and shows it
#   fail NAME [DETAIL...]     counts a failed check and shows it, each
#                             DETAIL on a line of its own; the script goes on
#   expect NAME COMMAND...    runs COMMAND: pass when it succeeds, else fail
#   pass_since COUNT NAME     passes NAME when no check failed since $failed
#                             was COUNT: one line for a group of checks that
#                             show only their failures ("cond || fail WHY")
#   check NAME STATUS EXPECTED COMMAND-LINE
#                             runs the command line (one shell string, shown
#                             as typed when the check fails) with standard
#                             error merged into standard output; passes when
#                             status and output are exactly those expected
#   within SECONDS COMMAND... runs COMMAND until it succeeds, every 0.2 s;
#                             status 1 once SECONDS have passed without. A
#                             condition is a command or a function of the
#                             script, never a string: wrap a test with
#                             $(...) in a function
#   step EXPLANATION COMMAND-LINE
#                             a walk's step, as a newcomer reads it: an empty
#                             line, "== EXPLANATION", "# COMMAND-LINE" as
#                             typed, then the command's output and error. A
#                             failing command ends the walk: "(exit status N)"
#                             and the script ends with N
#   finish [SUMMARY]          prints "P passed, F failed" (and ": SUMMARY");
#                             status 1 when a check failed. The script's
#                             last command
#
# A guest script of the system tier, for example (run it with
# tests/system/system-test.sh BUILD_DIR GUEST_SCRIPT; it runs as root after
# multi-user.target on the booted system, the package installed):
#
#     expect "the boot-time pass made BOOT1" node_is BOOT1 /dev/vdb1
#     velmortev-write-label -f /dev/vdb1 data2
#     expect "the pass of the relabel made DATA2 within 30 s" \
#       within 30 node_is DATA2 /dev/vdb1
#     check "the label reads back" 0 "DATA2:/dev/vdb1" velmortev-read-label /dev/vdb1
#     finish
#
# (node_is is one of the system tier's helpers, in tests/system/system-lib.sh.)

passed=0
failed=0

unavailable() {
  if [ "${CI-}" = true ]; then
    echo "${test_name:-${0##*/}}: $* (CI=true: this fails the run)" >&2
    exit 1
  fi
  echo "${test_name:-${0##*/}}: $*: skipped" >&2
  exit 77
}

pass() {
  passed=$((passed + 1))
  echo "ok - $1"
}

fail() {
  local detail
  failed=$((failed + 1))
  echo "not ok - $1"
  shift
  for detail in "$@"; do
    [ -n "$detail" ] || continue
    printf '%s\n' "$detail" | sed 's/^/  # /'
  done
}

pass_since() {
  [ "$failed" -ne "$1" ] || pass "$2"
}

expect() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

check() {
  local name=$1 want_status=$2 want=$3 got status
  shift 3
  got=$(eval "$*" 2>&1) && status=0 || status=$?
  if [ "$status" = "$want_status" ] && [ "$got" = "$want" ]; then
    pass "$name"
    return 0
  fi
  fail "$name" "$*" "expected status $want_status and:" "${want:+$(echo "$want" | sed 's/^/| /')}" \
    "got status $status and:" "${got:+$(echo "$got" | sed 's/^/| /')}"
}

within() {
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

step() {
  local status=0
  echo
  echo "== $1"
  echo "# $2"
  eval "$2" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "(exit status $status)"
    exit "$status"
  fi
}

finish() {
  echo "$passed passed, $failed failed${1:+: $1}"
  [ "$failed" -eq 0 ]
}
