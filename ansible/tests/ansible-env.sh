# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# Sourced by the collection's tests: makes, once, a virtual environment with
# ansible-core under the build tree and puts its bin/ in front of PATH.
# ansible-core comes from the Python package registry through pip; when pip
# cannot reach the registry, the environment is made over Debian's
# ansible-core package instead (tools/ensure-deps.sh installs it).
#   ansible_env BUILD_DIR    -> 0, or 1 with the reason on standard error
# Sets ANSIBLE_VENV and ANSIBLE_ORIGIN ("pip" or "debian").
#
# Ansible refuses to start on a non-blocking standard input, and the one
# inherited from ctest is shared with the tests running beside this one,
# any of which may make it non-blocking: every Ansible test reads a
# /dev/null of its own.
exec </dev/null
ansible_env() {
  ANSIBLE_VENV=${VLM_ANSIBLE_VENV:-$1/ansible-venv}
  local tools=(ansible ansible-playbook ansible-doc ansible-galaxy ansible-test) tool
  local parent
  parent=$(mkdir -p "$(dirname "$ANSIBLE_VENV")" && cd "$(dirname "$ANSIBLE_VENV")" && pwd) || {
    echo "no directory for the Python environment $ANSIBLE_VENV" >&2
    return 1
  }
  ANSIBLE_VENV=$parent/$(basename "$ANSIBLE_VENV")
  # Two tests may make it at once: the first makes it, the other waits.
  { exec 8>"$ANSIBLE_VENV.lock" && flock 8; } || return 1
  if [ ! -x "$ANSIBLE_VENV/bin/ansible-test" ] || [ ! -s "$ANSIBLE_VENV/origin" ]; then
    rm -rf "$ANSIBLE_VENV"
    if python3 -m venv "$ANSIBLE_VENV" >"$ANSIBLE_VENV.log" 2>&1 &&
      "$ANSIBLE_VENV/bin/pip" install --quiet --retries 0 --timeout 20 ansible-core \
        >>"$ANSIBLE_VENV.log" 2>&1; then
      echo pip >"$ANSIBLE_VENV/origin"
    else
      rm -rf "$ANSIBLE_VENV"
      if [ ! -x /usr/bin/ansible-playbook ] || [ ! -x /usr/bin/ansible-test ]; then
        echo "no ansible-core: pip could not install it (see $ANSIBLE_VENV.log) and" \
          "Debian's package ansible-core is not installed" >&2
        exec 8>&-
        return 1
      fi
      # Debian's ansible-core lives in the system's Python: the environment
      # sees it, and its commands are started with the environment's Python.
      if ! /usr/bin/python3 -m venv --system-site-packages --without-pip "$ANSIBLE_VENV" \
        >>"$ANSIBLE_VENV.log" 2>&1; then
        echo "could not make a virtual environment (see $ANSIBLE_VENV.log)" >&2
        rm -rf "$ANSIBLE_VENV"
        exec 8>&-
        return 1
      fi
      for tool in "${tools[@]}"; do
        sed "1s|.*|#!$ANSIBLE_VENV/bin/python3|" "/usr/bin/$tool" >"$ANSIBLE_VENV/bin/$tool"
        chmod +x "$ANSIBLE_VENV/bin/$tool"
      done
      echo debian >"$ANSIBLE_VENV/origin"
    fi
  fi
  exec 8>&-
  ANSIBLE_ORIGIN=$(cat "$ANSIBLE_VENV/origin")
  PATH=$ANSIBLE_VENV/bin:$PATH
  export PATH ANSIBLE_VENV ANSIBLE_ORIGIN LC_ALL=C.UTF-8
  return 0
}

# The tests' common start: the environment, or the end of the test that
# sources this file through unavailable of the kit's test library
# (tests/functions.sh: skipped outside CI, failed under CI=true); then the
# version in use.
#   require_ansible_env BUILD_DIR WHAT
require_ansible_env() {
  ansible_env "$1" || unavailable "no ansible-core for $2"
  echo "ansible-core $(python3 -c 'import ansible.release as r; print(r.__version__)') ($ANSIBLE_ORIGIN)"
}

# Builds the collection of SOURCE_DIR into its tarball under ROOT and
# installs the tarball to ROOT/ansible_collections/velmortev/disks, where
# ansible finds it by its name: the tests see what a user installs. Sets
# COLLECTION_TARBALL.
#   install_collection SOURCE_DIR ROOT
install_collection() {
  if ! ansible-galaxy collection build --force --output-path "$2" "$1/ansible" >"$2/galaxy.log" 2>&1 ||
    ! COLLECTION_TARBALL=$(ls "$2"/velmortev-disks-*.tar.gz) ||
    ! ansible-galaxy collection install --offline -p "$2" "$COLLECTION_TARBALL" >>"$2/galaxy.log" 2>&1; then
    cat "$2/galaxy.log" >&2
    return 1
  fi
}

# Prepares an ansible-test run: the collection of SOURCE_DIR installed from
# its tarball into a temporary ROOT (removed on exit), which ansible-test
# wants at ansible_collections/NAMESPACE/NAME and outside a git work tree;
# ansible-test's own environments under BUILD_DIR; the current directory the
# installed collection. Sets root and python (the version ansible-test runs).
#   enter_test_collection SOURCE_DIR BUILD_DIR
enter_test_collection() {
  root=$(mktemp -d)
  # shellcheck disable=SC2064  # the path is fixed now
  trap "rm -rf '$root'" EXIT
  export HOME=$2/ansible-home ANSIBLE_COLLECTIONS_PATH=$root ANSIBLE_NOCOLOR=1
  install_collection "$1" "$root" || exit 1
  cd "$root/ansible_collections/velmortev/disks" || exit 1
  # shellcheck disable=SC2034  # read by the caller
  python=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
}

# Prints the log of an ansible-test run without its note on the locale,
# which every run under C.UTF-8 gives.
#   show_ansible_test_log FILE
show_ansible_test_log() {
  grep -v -e 'Using locale "C.UTF-8"' -e 'Reviewing previous 1 warning' "$1"
}
