# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Answers to the disk queries of the cleaning phase, one kind per entry name;
# a delete removes the entry.
case "$1 $5" in
"-I GOOD"|"-I SUBDIR") echo 'Disk "GOOD" is a valid TEV disk' ;;
"-I CHATTY") echo 'all fine' ;;
"-I GONE") echo 'Unable to open disk: No such device' >&2; exit 237 ;;
"-I BADARG") echo 'Unable to query disk: Invalid argument' >&2; exit 234 ;;
"-I BUSY") echo 'Unable to open disk: Device or resource busy' >&2; exit 240 ;;
"-I NOREASON") echo 'it broke' >&2; exit 1 ;;
"-I KILLED") kill -9 $$ ;;
"-D "*) rm "$3/disks/$5" ;;
esac
