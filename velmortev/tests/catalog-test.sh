#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The journal catalog parses and explains every MESSAGE_ID that velmortev
# writes: usage: catalog-test.sh SOURCE_DIR
set -eu
src=${1:?}
command -v journalctl >/dev/null || { echo "SKIP: journalctl is needed"; exit 0; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/lib/systemd/catalog" "$root/var/lib/systemd/catalog"
cp "$src/packaging/velmortev.catalog" "$root/usr/lib/systemd/catalog/"
journalctl --root="$root" --update-catalog
listed=$(journalctl --root="$root" --list-catalog)
ids=$(sed -n 's/.*_id = "\([0-9a-f]\{32\}\)";/\1/p' "$src/velmortev/pass_record.h")
[ "$(echo "$ids" | wc -l)" = 3 ] || { echo "FAIL: not three ids in pass_record.h"; exit 1; }
for id in $ids; do
    echo "$listed" | grep -q "^$id velmortev: " || { echo "FAIL: $id is not in the catalog"; exit 1; }
done
[ "$(echo "$listed" | wc -l)" = 3 ] || { echo "FAIL: the catalog has other ids: $listed"; exit 1; }
echo "PASS"
