#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages that a purpose needs, when missing.
#
# Usage: tools/ensure-deps.sh [PURPOSE...]     (default: all)
#   main         build the kit and the testbed, walk the main job
#   tests        the test suite: GoogleTest, the man page, package and
#                unit checks (includes main)
#   reliability  valgrind, and clang with libFuzzer for the fuzz targets
#   vm           the host side of the tests on a real kernel under QEMU
#   all          every purpose above
set -euo pipefail

declare -A needs lean_needs
# Compiler and build, and what the scratch world uses (losetup, mount,
# unshare, truncate); libblkid and nlohmann's JSON library for the front end.
needs[main]="cmake g++ make util-linux mount libblkid-dev nlohmann-json3-dev"
# GoogleTest and the benchmarks; man page checks (groff, man); the packages
# (dpkg-shlibdeps, file, readelf, lintian, rpm, rpmlint, rpm2cpio, cpio) and
# the check of the systemd unit (systemd-analyze).
needs[tests]="${needs[main]} libgtest-dev libgmock-dev libbenchmark-dev groff-base man-db
  dpkg-dev file binutils lintian rpm rpmlint rpm2cpio cpio systemd"
needs[reliability]="valgrind clang libclang-rt-14-dev"
# The VM's packages depend on the kernel Debian serves today (its headers):
# tools/ensure-vm-deps.sh resolves and installs them.
needs[vm]=""
# The Ansible collection's tests (part of the test suite): Debian's
# ansible-core, their fallback when pip cannot reach the Python package
# registry; python3-venv for their Python environment; shellcheck for the
# sanity checks and the test shell_scripts (every shell script of the tree);
# python3-voluptuous for the sanity checks, python3-pytest for the unit tests; e2fsprogs for a filesystem that the
# label module and the front end must refuse, fdisk (sfdisk) for a GPT. Installed without recommends, which
# would pull in the large bundle of collections. prometheus for promtool,
# which judges the metrics of velmortev (its recommends are exporters).
lean_needs[tests]="ansible-core python3-venv shellcheck python3-voluptuous python3-pytest e2fsprogs fdisk prometheus"

purposes=("$@")
[ ${#purposes[@]} -gt 0 ] || purposes=(all)
packages=()
lean_packages=()
# shellcheck disable=SC2206  # the lists are words, split on purpose
for purpose in "${purposes[@]}"; do
    if [ "$purpose" = all ]; then
        for each in "${needs[@]}"; do packages+=($each); done
        for each in "${lean_needs[@]}"; do lean_packages+=($each); done
    elif [ -n "${needs[$purpose]+set}" ]; then
        packages+=(${needs[$purpose]})
        lean_packages+=(${lean_needs[$purpose]:-})
    else
        echo "ensure-deps.sh: unknown purpose '$purpose' (main, tests, reliability, vm, all)" >&2
        exit 2
    fi
done

# Installs those of the named packages that are missing; further arguments
# go to apt-get install.
install_missing() {
    local -a wanted=() missing=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do wanted+=("$1"); shift; done
    shift || true
    for p in $(printf '%s\n' "${wanted[@]}" | sort -u); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ -z "${apt_updated:-}" ]; then apt-get update -qq; apt_updated=1; fi
    apt-get install -y -qq "$@" "${missing[@]}"
}

install_missing "${packages[@]}" --
[ ${#lean_packages[@]} -eq 0 ] || install_missing "${lean_packages[@]}" -- --no-install-recommends

for purpose in "${purposes[@]}"; do
    if [ "$purpose" = vm ] || [ "$purpose" = all ]; then
        exec "$(dirname "$0")/ensure-vm-deps.sh"
    fi
done
