#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs shellcheck over every shell script of the source tree: of a git
# checkout its tracked files, of any other tree every file outside the build
# trees; a script is a file named *.sh or one whose first line starts a
# POSIX shell or bash. Files that are only sourced name their shell in a
# directive; .shellcheckrc at the top lets shellcheck follow the sources.
# Any finding fails the test.
# Usage: shellcheck-test.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
# shellcheck source=../functions.sh
. "$source_dir/tests/functions.sh"
command -v shellcheck >/dev/null || unavailable "shellcheck is not installed (tools/ensure-deps.sh tests)"
cd "$source_dir" || exit 1

if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$source_dir" ]; then
  mapfile -t files < <(git ls-files)
else
  mapfile -t files < <(find . \( -name .git -o -name 'build*' -o -path ./ansible/tests/output \) -prune \
                         -o -type f -print | sed 's|^\./||' | sort)
fi
scripts=()
for file in "${files[@]}"; do
  case $file in
    *.sh) scripts+=("$file") ;;
    *) [ -f "$file" ] && head -n1 "$file" | grep -qE '^#! ?(/usr)?/bin/(env )?(ba|da)?sh( |$)' &&
         scripts+=("$file") ;;
  esac
done
[ "${#scripts[@]}" -gt 0 ] || { fail "no shell script found under $source_dir"; exit 1; }
expect "shellcheck $(shellcheck --version | sed -n 's/^version: //p') finds nothing in ${#scripts[@]} scripts" \
  shellcheck "${scripts[@]}"
finish
