#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the generated man pages: every page and link formats without a
# single warning, every program in sbin has a page that names it, and every
# option that a program's usage text shows is documented on its page.
# Usage: check-pages.sh MAN8_DIR SBIN_DIR VERSION
set -uo pipefail
man8=$1 sbin=$2 version=$3
# shellcheck source=../../tests/functions.sh
. "$(dirname "$0")/../../tests/functions.sh"

for page in "$man8"/*.8; do
  name=$(basename "$page" .8)
  since=$failed
  warnings=$(groff -ww -man -t -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "$name.8: groff warns: $warnings"
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$name.8: man warns: $warnings"
  fi
  grep -q '@[A-Z_]*@' "$page" && fail "$name.8: placeholder left unfilled"
  # Command names in SEE ALSO are never broken across lines, at any width.
  for width in 40 52 64 80; do
    broken=$(LC_ALL=C.UTF-8 MANWIDTH=$width man -l "$page" 2>/dev/null |
      sed -n '/^SEE ALSO/,/^[^ ]/p' | grep -E -e '-$' -e $'\u2010$')
    [ -z "$broken" ] || fail "$name.8: SEE ALSO broken at width $width: $broken"
  done
  grep -q '^\.SH REPORTING BUGS' "$page" || fail "$name.8: no REPORTING BUGS section"
  # Exit statuses are listed in ascending order.
  statuses=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /{/^\.TP/{n;s/^\.BR* \([0-9]*\).*/\1/p}}' "$page")
  [ "$statuses" = "$(sort -n <<<"$statuses")" ] || fail "$name.8: exit statuses not in order" "$statuses"
  grep -q "^\.TH .* \"velmortev $version\"" "$page" || fail "$name.8: title does not carry version $version"
  pass_since "$since" "$name.8: no warning, SEE ALSO whole, statuses in order, version $version"
done

# Usage text of a program: tevscan takes -h only, velmortev-discover none.
usage_of() {
  case $1 in
    velmortev-discover) ;;
    tevscan) "$sbin/$1" -h ;;
    *) "$sbin/$1" --help ;;
  esac
}

for program in "$sbin"/*; do
  name=$(basename "$program")
  page=$man8/$name.8
  since=$failed
  if [ ! -e "$page" ]; then
    fail "$name has no man page"
    continue
  fi
  # The NAME line of the page (a link's target) must name the program, so
  # that whatis and apropos find it.
  sed -n '/^\.SH NAME/{n;p;q}' "$page" | grep -q "\(^\|[ ,]\)${name//-/\\\\-}[ ,]" ||
    fail "$name.8: NAME section does not name $name"
  usage=$(usage_of "$name") || fail "$name: usage text not printed with status 0"
  for letter in $(grep -oE '(^|[ [])-[A-Za-z]' <<<"$usage" | tr -d ' [-' | sort -u); do
    grep -q "\\\\-$letter\b" "$page" ||
      fail "$name.8: option -$letter of the usage text is not documented"
  done
  pass_since "$since" "$name.8 names $name and documents every option of its usage text"
done

finish "man pages"
