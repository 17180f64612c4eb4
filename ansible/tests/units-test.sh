#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the collection's unit tests with ansible-test units, offline, on the
# collection as installed from its built tarball. The modules ask the front
# end of this build: its sbin directory, and the testbed's tevtool, come
# first on PATH. pytest and its plugins come from Debian (python3-pytest,
# python3-pytest-xdist, python3-pytest-forked), which the environment over
# Debian's ansible-core sees.
#   units-test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd) build=$(cd "$2" && pwd)

# shellcheck source=../../tests/functions.sh
. "$source_dir/tests/functions.sh"
# shellcheck disable=SC2034  # read by unavailable, when the library is not followed
test_name="the unit tests"
[ -x "$build/sbin/velmortev" ] || unavailable "build the kit first"
# shellcheck source=ansible-env.sh
. "$source_dir/ansible/tests/ansible-env.sh"
require_ansible_env "$build" "the unit tests"
for plugin in pytest xdist pytest_forked; do
  python3 -c "import $plugin" 2>/dev/null || unavailable "no Python module $plugin (Debian's python3-pytest*)"
done

enter_test_collection "$source_dir" "$build"
PATH=$build/sbin:$build/testbed/bin:$PATH
# shellcheck disable=SC2154  # root and python: set by enter_test_collection
ansible-test units --local --python "$python" >"$root/units.log" 2>&1
status=$?
show_ansible_test_log "$root/units.log"
expect "ansible-test units" test "$status" -eq 0
finish "units on the built tarball, the front end of $build"
