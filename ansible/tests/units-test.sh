#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the collection's unit tests (tests/unit/, laid out as ansible-test
# units expects them) with Debian's pytest, on the source tree as Python
# sees an installed collection: ansible_collections/velmortev/disks. What
# they test is plain Python, so neither ansible-core nor the registry is
# needed.
#   units-test.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
# shellcheck source=../../tests/functions.sh
. "$source_dir/tests/functions.sh"
# shellcheck disable=SC2034  # read by unavailable, when the library is not followed
test_name="the collection's unit tests"
# Debian's pytest belongs to Debian's Python, whatever python3 PATH finds.
python=/usr/bin/python3
"$python" -c 'import pytest' 2>/dev/null || unavailable "python3-pytest is not installed"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/ansible_collections/velmortev"
ln -s "$source_dir/ansible" "$root/ansible_collections/velmortev/disks"
# Nothing is written into the source tree: no bytecode, no pytest cache.
PYTHONPATH=$root PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p no:cacheprovider -q \
  --rootdir "$root" "$root/ansible_collections/velmortev/disks/tests/unit"
