# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh disable=SC2154  # here: the tool's directory, set by the test
# One device never comes; the other comes after the first wait.
case "$5" in
/dev/vtlate) echo 'Unable to open device: No such file or directory' >&2; exit 254 ;;
/dev/vtsoon) [ -e "$here/seen" ] || { touch "$here/seen"; echo 'No such device' >&2; exit 237; }
             echo 'is marked "SOON"' ;;
esac
