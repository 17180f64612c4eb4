#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs ansible-test sanity on the collection, offline: the sanity tests that
# need no Python packages of their own. The others (listed below) install
# pinned requirements from the Python package registry into virtual
# environments of their own, so they run only with VLM_ANSIBLE_SANITY=all on
# a machine that reaches the registry. The module documentation, which the
# skipped test ansible-doc would check, is rendered with ansible-doc here,
# and validate-modules runs by its own script where it can.
#   sanity-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
needs_registry=(ansible-doc changelog import pep8 pslint pylint runtime-metadata validate-modules yamllint)

# shellcheck source=../../tests/functions.sh
. "$source_dir/tests/functions.sh"
# shellcheck source=ansible-env.sh
. "$source_dir/ansible/tests/ansible-env.sh"
require_ansible_env "$build" "the sanity test"

enter_test_collection "$source_dir" "$build"

# What Galaxy wants of an upload: a licence, the project's addresses, the
# licence text and a changelog in the tarball.
listing=$(tar -tzf "$COLLECTION_TARBALL")
for file in LICENSE changelogs/changelog.yaml meta/runtime.yml; do
  expect "the tarball holds $file" grep -qx "$file" <<<"$listing"
done
python3 - MANIFEST.json <<'PY' || fail "MANIFEST.json names the licence and the project's addresses"
import json, sys
info = json.load(open(sys.argv[1]))['collection_info']
missing = [k for k in ('license', 'repository', 'documentation', 'issues') if not info.get(k)]
if missing:
    sys.exit('MANIFEST.json lacks %s' % ', '.join(missing))
PY
skips=()
if [ "${VLM_ANSIBLE_SANITY-}" != all ]; then
  for test in "${needs_registry[@]}"; do
    skips+=(--skip-test "$test")
  done
  echo "skipped (their requirements come from the Python package registry): ${needs_registry[*]}"
fi
# shellcheck disable=SC2154  # root and python: set by enter_test_collection
ansible-test sanity --local --python "$python" "${skips[@]}" >"$root/sanity.log" 2>&1
status=$?
show_ansible_test_log "$root/sanity.log"
expect "ansible-test sanity" test "$status" -eq 0

# validate-modules, which checks the documentation against the options the
# modules take, also by its own script where Debian's voluptuous is at hand,
# without the license header check: the kit's files carry no license header.
validator=$(python3 -c 'import ansible_test, os; print(os.path.dirname(ansible_test.__file__))')
validator=$validator/_util/controller/sanity/validate-modules/validate.py
if [ "${VLM_ANSIBLE_SANITY-}" != all ] && python3 -c 'import voluptuous' 2>/dev/null; then
  python3 "$validator" --format json --arg-spec --collection ansible_collections/velmortev/disks \
    --collection-version 2.1.10 plugins/modules/*.py >"$root/validate.json" 2>"$root/validate.err"
  if ! python3 - "$root/validate.json" <<'PY'
import json, sys
found = [(path, item['code'], item['msg'])
         for path, report in json.load(open(sys.argv[1])).items()
         for item in report['errors'] + report['warnings'] + report['traces']
         if item.get('code') != 'missing-gplv3-license']
for path, code, msg in found:
    print('%s: %s: %s' % (path, code, msg))
sys.exit(1 if found else 0)
PY
  then
    fail "validate-modules" "$(cat "$root/validate.err")"
  else
    pass "validate-modules (its script, Debian's voluptuous)"
  fi
fi

for module in label node scan disk_info cluster_check info; do
  if ! doc=$(ansible-doc -t module "velmortev.disks.$module" 2>&1) ||
    ! grep -q '^EXAMPLES:' <<<"$doc" || ! grep -q '^RETURN VALUES:' <<<"$doc"; then
    fail "ansible-doc velmortev.disks.$module" "$doc"
  else
    pass "ansible-doc velmortev.disks.$module"
  fi
done
expect "the old name info leads to disk_info" grep -q '^> VELMORTEV.DISKS.DISK_INFO' <<<"$doc"
finish "sanity on the built tarball"
