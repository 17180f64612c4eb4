# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
# Answers to the device queries of the instantiating phase, one kind per
# device; the creates of some labels fail.
if [ "$1" = -C ]; then
    case "$5" in
    BETA) echo 'Unable to create disk "BETA": File exists' >&2; exit 239 ;;
    GAMMA) echo 'no room' >&2; exit 228 ;;
    DELTA) kill -9 $$ ;;
    esac
    exit 0
fi
case "$5" in
/dev/vtmark) echo 'Device "/dev/vtmark" is marked as disk "ALPHA"' ;;
/dev/vtexist) echo 'is marked "BETA"' ;;
/dev/vtfull) echo 'is marked "GAMMA"' ;;
/dev/vtckill) echo 'is marked "DELTA"' ;;
/dev/vtnot) echo 'Device is not marked' >&2; exit 6 ;;
/dev/vtinval) echo 'Unable to query: Invalid argument' >&2; exit 234 ;;
/dev/vtio) echo 'Unable to read: Input/output error' >&2; exit 251 ;;
/dev/vtchat) echo 'hello' ;;
/dev/vtonequote) echo 'is marked "ONE' ;;
/dev/vtnoquote) echo 'is marked NONE' ;;
/dev/vtqkill) kill -9 $$ ;;
/dev/vtshell) echo 'is marked "$(touch pwned); *"' ;;
/dev/vtnul) printf 'is marked "NULL"\0 trailing "JUNK"' ;;
/dev/vtbig) printf 'is marked '; head -c 102400 /dev/zero | tr '\0' x; echo ' "FAR"' ;;
/dev/vtempty) ;;
/dev/vtslash) echo 'is marked "../../etc/x"' ;;
/dev/vtdots) echo 'is marked ".."' ;;
/dev/vtdot) echo 'is marked "."' ;;
/dev/vtblank) echo 'is marked ""' ;;
/dev/vtlong) echo 'is marked "ABCDEFGHIJKLMNOPQRSTUVWXY"' ;;
/dev/vtesc) printf 'is marked "\033[2J\nX"' ;;
/dev/vthigh) printf 'is marked "\303\251\177"' ;;
/dev/vtback) printf '%s\n' 'is marked "A\B"' ;;
/dev/vt24) echo 'is marked "ABCDEFGHIJKLMNOPQRSTUVWX"' ;;
esac
