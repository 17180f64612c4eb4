#!/usr/bin/env bash
# Builds the Debian package from the build tree into a scratch directory,
# checks its metadata and contents, unpacks it into a scratch root and runs
# every program from there.
# Usage: package-test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one package, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "velmortev_${version}_${arch}.deb" ] || fail "package file is named $(basename "$deb")"

# Metadata.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmortev ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
[[ $(field Maintainer) == *?\ \<?*@?*\> ]] || fail "Maintainer is '$(field Maintainer)'"
[[ $(field Depends) == *libc6* ]] || fail "Depends does not name libc6: '$(field Depends)'"
[ -n "$(field Description)" ] || fail "no Description"

root=$scratch/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x"; exit 1; }

# Exactly the programs of the build tree, and nothing of the testbed.
built=$(cd "$build/sbin" && ls | sort)
packaged=$(cd "$root/usr/sbin" && ls | sort)
[ "$built" = "$packaged" ] || fail "programs differ: built [$built], packaged [$packaged]"
leaked=$(cd "$root" && find . \( -name 'libtev*' -o -name 'tevtool' -o -name '*testbed*' \
    -o -name '*_test' -o -name '*_bench' -o -name '*.a' \) -print)
[ -z "$leaked" ] || fail "testbed or test files in the package: $leaked"

for program in "$build"/sbin/*; do
    name=${program##*/}
    installed=$root/usr/sbin/$name
    if [ -L "$program" ]; then
        [ "$(readlink "$installed")" = "$(readlink "$program")" ] ||
            fail "$name is not a link to $(readlink "$program")"
    fi
    [ -x "$installed" ] || { fail "$name is not executable"; continue; }
    [ -f "$root/usr/share/man/man8/$name.8" ] || fail "$name has no man page"
    [ -f "$root/usr/share/bash-completion/completions/$name" ] || fail "$name has no completion file"

    # Each program runs from the unpacked tree, in a clean environment.
    case $name in
        tevscan)
            out=$(env -i "$installed" -V 2>&1 >/dev/null)
            want="tevscan version $version" ;;
        velmortev-discover)
            # It has no options: with no access library installed it says so
            # and ends with 1, which shows that it starts.
            [ -e /opt/velmor/extapi/64/tev/vlmr/1/libtev.so ] && continue
            out=$(env -i "$installed" 2>&1)
            want="Unable to open TEVLib" ;;
        *)
            out=$(env -i "$installed" --version 2>&1)
            want="$name version $version" ;;
    esac
    [ "$out" = "$want" ] || fail "$name from the package printed [$out], expected [$want]"
done

# The completion registers every program when sourced.
registered=$(bash -c 'source "$1"/velmortev && complete -p' bash \
    "$root/usr/share/bash-completion/completions" 2>&1)
for program in "$build"/sbin/*; do
    grep -q " ${program##*/}\$" <<<"$registered" || fail "completion not registered for ${program##*/}"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures problem(s) with the package"
    exit 1
fi
echo "package $(basename "$deb"): metadata, contents and programs checked"
