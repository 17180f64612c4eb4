#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts the licence identifier line at the top of every source file that lacks
# it (after a "#!" line), in the comment form of the file's language. Running
# it again changes nothing.
#
# Usage: tools/add-spdx.sh [FILE...]           annotate the files given, or
#                                              every file tracked by git
#        tools/add-spdx.sh --check [FILE...]   list the files without the
#                                              line; status 1 if there are any
set -euo pipefail
identifier='SPDX-License-Identifier: GPL-2.0-or-later'

# The comment leader of a file's language; nothing for a file that is not
# source (documents, the licence, fuzz seeds, package metadata).
leader_of() {
    case $1 in
        *.cc | *.h | *.c) echo '//' ;;
        *.sh | *.bash | *.cmake | */CMakeLists.txt | CMakeLists.txt | *.py | *.service | *.service.in) echo "#" ;;
        *.8 | *.8.in) echo '.\"' ;;
        *) head -c 2 "$1" 2>/dev/null | grep -q '^#!' && echo '#' ;;
    esac
    return 0
}

# Whether a licence identifier line (this one, or a file's own) is among the
# first three lines of the file.
has_line() { head -n 3 "$1" | grep -q 'SPDX-License-Identifier:'; }

annotate() {
    local file=$1 leader=$2 tmp
    tmp=$(mktemp "$file.XXXXXX")
    # The line goes after a "#!" line and after a Python encoding line, which
    # must stay among the first two.
    local keep=0
    head -c 2 "$file" | grep -q '^#!' && keep=1
    sed -n "$((keep + 1))p" "$file" | grep -q '^#.*coding[:=]' && keep=$((keep + 1))
    if [ "$keep" -gt 0 ]; then
        { head -n "$keep" "$file"; echo "$leader $identifier"; tail -n +$((keep + 1)) "$file"; } >"$tmp"
    else
        { echo "$leader $identifier"; cat "$file"; } >"$tmp"
    fi
    chmod --reference="$file" "$tmp"
    mv "$tmp" "$file"
}

check=
if [ "${1-}" = --check ]; then
    check=1
    shift
fi
if [ $# -eq 0 ]; then
    cd "$(dirname "$0")/.."
    mapfile -t files < <(git ls-files)
else
    files=("$@")
fi

lacking=0
for file in "${files[@]}"; do
    [ -f "$file" ] && [ ! -L "$file" ] || continue
    leader=$(leader_of "$file")
    [ -n "$leader" ] || continue
    has_line "$file" && continue
    if [ -n "$check" ]; then
        echo "$file"
        lacking=1
    else
        annotate "$file" "$leader"
    fi
done
exit "$lacking"
