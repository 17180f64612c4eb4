# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh disable=SC2154  # here: the tool's directory, set by the test
# Every disk entry is invalid and no device is marked. Delete number N
# (from 1) is refused when the file "refuse-N" exists in $here and killed
# when "kill-N" exists; every delete is refused while "refuse" exists.
case "$1" in
-I) [ $# -eq 5 ] && { echo 'Unable to open disk: No such device' >&2; exit 237; }
    echo 'not marked' >&2; exit 6 ;;
-D) echo "$5" >>"$here/deletes"
    n=$(wc -l <"$here/deletes")
    if [ -e "$here/refuse" ] || [ -e "$here/refuse-$n" ]; then
        echo 'Unable to delete: Permission denied' >&2; exit 243
    fi
    [ -e "$here/kill-$n" ] && kill -9 $$
    rm "$3/disks/$5" ;;
esac
