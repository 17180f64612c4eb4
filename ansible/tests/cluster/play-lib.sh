# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# Sourced by the cluster tests after the kit's test library
# (tests/functions.sh: fail, finish), in the directory that holds their
# inventory.yml: running the collection's playbook and reading its output.
# The caller sets show (--show prints every run).
run=0
show=${show-}
# Runs a playbook with the given options, as a user does: from a playbook of
# the project beside the inventory that imports it (ansible-core 2.14 warns
# when the playbook it is started with lies inside a collection). The
# playbook is velmortev.disks.cluster, or the one that $playbook names. Its
# output is in $out, its status in $status.
play() {
  run=$((run + 1))
  printf -- '---\n- ansible.builtin.import_playbook: %s\n' "${playbook:-velmortev.disks.cluster}" >site.yml
  ansible-playbook -i inventory.yml site.yml "$@" >"run$run.txt" 2>&1
  # shellcheck disable=SC2034  # read by the caller
  status=$?
  out=$(cat "run$run.txt")
  if [ "$show" = --show ]; then
    echo "# ansible-playbook -i inventory.yml site.yml (${playbook:-velmortev.disks.cluster}) $*"
    echo "$out"
  fi
}
# The host lines of one task's section of the output.
task_hosts() { sed -n "/^TASK \[$1\]/,/^\(TASK\|PLAY RECAP\)/p" <<<"$out" | grep -E '^(ok|changed|fatal|skipping): '; }
# What a run of the playbook did: each host's outcome of the label and scan
# tasks, and the nodes each scan created and removed.
outcomes() {
  task_hosts 'Label the shared disk on one node'
  task_hosts 'Create the disk nodes on every node' | sort
  # The hosts report in the order they finish.
  grep -o '"tevscan created: [^"]*"' <<<"$out" | sort
}
# Whether the recap shows HOST with these counts.
#   recap_has HOST CHANGED UNREACHABLE FAILED
recap_has() { grep -Eq "^$1 +: ok=[0-9]+ +changed=$2 +unreachable=$3 +failed=$4 " <<<"$out"; }
# Ends a cluster test with the library's summary, and the output of every
# run after a failure.
finish_plays() {
  finish "$1" && return 0
  for f in run*.txt; do
    echo "== $f"
    cat "$f"
  done
  exit 1
}
