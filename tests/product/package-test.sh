#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds a package of the kit from the build tree into a scratch directory,
# checks its metadata and runs its linter, unpacks it into a scratch root,
# checks the files and runs every program from there. With "install" it
# follows the README instead: installs the build tree under /usr/local of a
# scratch root, builds the .deb in the same build tree and unpacks it into
# that root, and checks that removing what install_manifest.txt lists takes
# exactly the installed files and none of the package's.
# Usage: package-test.sh BUILD_DIR SOURCE_DIR VERSION deb|rpm|install
set -uo pipefail
build=$1 source_dir=$2 version=$3 format=$4
# shellcheck source=../functions.sh
. "$source_dir/tests/functions.sh"
scratch=$(mktemp -d)
# Packaging and installing write install_manifest.txt into the build tree:
# the one of an earlier install is kept aside and put back.
manifest=$build/install_manifest.txt
kept=
if [ -e "$manifest" ]; then mv "$manifest" "$scratch/manifest.kept" && kept=1; fi
restore() {
    rm -f "$manifest"
    [ -n "$kept" ] && mv "$scratch/manifest.kept" "$manifest"
    rm -rf "$scratch"
}
trap restore EXIT
root=$scratch/root
# True when a program of the build links libblkid, which the package must then name.
needs_blkid() { readelf -d "$build"/sbin/* 2>/dev/null | grep -q 'NEEDED.*\[libblkid\.so\.1\]'; }
prefix=/usr
[ "$format" = install ] && prefix=/usr/local

# Runs a linter whose output is shown; its status decides.
lint() {
    local out status=0
    out=$("$@" 2>&1) || status=$?
    echo "$out"
    [ "$status" -eq 0 ] || fail "$1 found errors or warnings (status $status)"
}

make_package() {
    if ! cpack -G "$1" --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
        cat "$scratch/cpack.log"
        fail "cpack could not build the package"
        exit 1
    fi
    packages=("$scratch"/out/*."$2")
    [ ${#packages[@]} -eq 1 ] && [ -f "${packages[0]}" ] ||
        { fail "expected one package, got: ${packages[*]}"; exit 1; }
    package=${packages[0]}
}

since=$failed
case $format in
deb)
    make_package DEB deb
    arch=$(dpkg --print-architecture)
    [[ $(basename "$package") == velmortev_${version}-[1-9]*_${arch}.deb ]] ||
        fail "package file is named $(basename "$package")"
    field() { dpkg-deb -f "$package" "$1"; }
    [ "$(field Package)" = velmortev ] || fail "Package is '$(field Package)'"
    [[ $(field Version) == "$version"-[1-9]* ]] || fail "Version is '$(field Version)'"
    [ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
    [ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
    [[ $(field Maintainer) == *?\ \<?*@?*\> ]] || fail "Maintainer is '$(field Maintainer)'"
    [[ $(field Depends) == *libc6* ]] || fail "Depends does not name libc6: '$(field Depends)'"
    [ -n "$(field Description)" ] || fail "no Description"
    lint lintian --fail-on error,warning -EvIL +pedantic "$package"
    dpkg -x "$package" "$root" || { fail "dpkg -x"; exit 1; }
    [ -f "$root/usr/share/doc/velmortev/changelog.Debian.gz" ] || fail "no changelog.Debian.gz"
    for script in postinst prerm postrm; do
        dpkg-deb -I "$package" "$script" >/dev/null 2>&1 || fail "no $script"
    done
    [ "$(dpkg-deb -I "$package" conffiles 2>&1)" = /etc/velmortev/velmortev.conf ] ||
        fail "conffiles: [$(dpkg-deb -I "$package" conffiles 2>&1)]"
    if needs_blkid; then
        [[ $(field Depends) == *libblkid1* ]] || fail "Depends does not name libblkid1: '$(field Depends)'"
    fi
    ;;
rpm)
    make_package RPM rpm
    [[ $(basename "$package") == velmortev-${version}-[1-9]*.$(uname -m).rpm ]] ||
        fail "package file is named $(basename "$package")"
    query() { rpm -qp --qf "$1" "$package" 2>/dev/null; }
    [ "$(query '%{NAME} %{VERSION}')" = "velmortev $version" ] || fail "name and version: '$(query '%{NAME} %{VERSION}')'"
    [ "$(query '%{LICENSE}')" = GPL-2.0-or-later ] || fail "License is '$(query '%{LICENSE}')'"
    rpm -qpR "$package" 2>/dev/null | grep -q '^libc\.so\.6' || fail "does not require libc.so.6"
    [ "$(rpm -qpL "$package" 2>/dev/null)" = /usr/share/licenses/velmortev/LICENSE ] ||
        fail "licence files: [$(rpm -qpL "$package" 2>&1)]"
    if needs_blkid; then
        rpm -qpR "$package" 2>/dev/null | grep -q '^libblkid\.so\.1' || fail "does not require libblkid.so.1"
    fi
    # The settings are kept on upgrade: a config file, noreplace.
    flags=$(rpm -qp --qf '[%{FILENAMES} %{FILEFLAGS:fflags}\n]' "$package" 2>/dev/null | grep '^/etc/')
    grep -qx '/etc/velmortev/velmortev.conf cn' <<<"$flags" ||
        fail "velmortev.conf is not %config(noreplace): [$flags]"
    lint rpmlint -c "$source_dir/packaging/rpmlint.toml" "$package"
    mkdir -p "$root"
    for scriptlet in postinstall preuninstall postuninstall; do
        rpm -qp --scripts "$package" 2>/dev/null | grep -q "^$scriptlet scriptlet" || fail "no $scriptlet scriptlet"
    done
    rpm2cpio "$package" | (cd "$root" && cpio -idm --quiet) || { fail "rpm2cpio"; exit 1; }
    ;;
install)
    DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log"; fail "cmake --install failed"; }
    # Settings are never overwritten, nor listed for removal.
    grep -q velmortev.conf "$manifest" && fail "install_manifest.txt lists velmortev.conf"
    echo 'MANAGERS="/mnt/velmor"' >>"$root/etc/velmortev/velmortev.conf"
    DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log"; fail "cmake --install failed the second time"; }
    [ "$(tail -n1 "$root/etc/velmortev/velmortev.conf")" = 'MANAGERS="/mnt/velmor"' ] ||
        fail "a second install replaced the administrator's velmortev.conf"
    sed -i '$d' "$root/etc/velmortev/velmortev.conf"
    ;;
*)
    echo "unknown format $format" >&2
    exit 2
    ;;
esac
[ -f "$root$prefix/share/doc/velmortev/copyright" ] || fail "no copyright file"
# The front end's settings, in /etc whatever the prefix: every key there and
# commented out, so that the package alone changes nothing.
conf=$root/etc/velmortev/velmortev.conf
[ -d "$root/etc/velmortev/conf.d" ] || fail "no /etc/velmortev/conf.d"
for key in MANAGERS SCAN_ORDER SCAN_EXCLUDE BACKUP_DIR; do
    grep -q "^#$key=" "$conf" 2>/dev/null || fail "velmortev.conf does not show $key commented out"
done
set_lines=$(grep -v -e '^#' -e '^[[:space:]]*$' "$conf" 2>&1)
[ -z "$set_lines" ] || fail "velmortev.conf sets something: $set_lines"
[ "$(stat -c %a "$conf" 2>&1)" = 644 ] || fail "velmortev.conf has mode $(stat -c %a "$conf" 2>&1)"
[ -f "$root$prefix/share/doc/velmortev/README.md.gz" ] || fail "no README.md.gz"

# Exactly the programs of the build tree, and nothing of the testbed.
built=$(cd "$build/sbin" && ls | sort)
packaged=$(cd "$root$prefix/sbin" && ls | sort)
[ "$built" = "$packaged" ] || fail "programs differ: built [$built], packaged [$packaged]"
leaked=$(cd "$root" && find . \( -name 'libtev*' -o -name 'tevtool' -o -name '*testbed*' \
    -o -name '*_test' -o -name '*_bench' -o -name '*.a' \) -print)
[ -z "$leaked" ] || fail "testbed or test files in the package: $leaked"
pass_since "$since" "the $format package's metadata and files"

man8=$root$prefix/share/man/man8
for program in "$build"/sbin/*; do
    name=${program##*/}
    installed=$root$prefix/sbin/$name
    since=$failed
    if [ -L "$program" ]; then
        [ "$(readlink "$installed")" = "$(readlink "$program")" ] ||
            fail "$name is not a link to $(readlink "$program")"
        [ "$(readlink "$man8/$name.8.gz")" = "$(readlink "$program").8.gz" ] ||
            fail "$name.8.gz is not a link to the page of $(readlink "$program")"
    elif [ "$format" != install ]; then
        # Stripped, without the .comment section, with the build-id kept.
        sections=$(readelf -S -W "$installed")
        grep -qE ' \.(symtab|comment) ' <<<"$sections" && fail "$name is not stripped of .symtab/.comment"
        readelf -n "$installed" | grep -q 'Build ID' || fail "$name has no build-id"
    fi
    [ -x "$installed" ] || { fail "$name is not executable"; continue; }
    gzip -t "$man8/$name.8.gz" 2>/dev/null || fail "$name has no compressed man page"
    [ -f "$root$prefix/share/bash-completion/completions/$name" ] || fail "$name has no completion file"

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
    pass_since "$since" "$name: installed with its page and completion, and runs"
done

# The completion registers every program when sourced.
registered=$(bash -c 'source "$1"/velmortev && complete -p' bash \
    "$root$prefix/share/bash-completion/completions" 2>&1)
for program in "$build"/sbin/*; do
    expect "completion registered for ${program##*/}" grep -q " ${program##*/}\$" <<<"$registered"
done

since=$failed
# The boot-time unit runs the installed front end's scan on the instance's path, the
# udev rule and the unit the installed helper; an instance of the service
# and of its path unit, pointed at the unpacked programs, pass systemd's
# checks (their documentation is looked up in the unpacked man pages).
units=$root$prefix/lib/systemd/system
helper=$prefix/libexec/velmortev/tevscan-event
grep -qx "ExecStart=$prefix/sbin/velmortev scan -m %f" "$units/tevscan@.service" ||
    fail "the unit does not run $prefix/sbin/velmortev scan -m %f"
[ "$(grep -c "=$helper \(begin\|end\) %i\$" "$units/tevscan@.service")" = 2 ] ||
    fail "the unit does not run $helper before and after the pass"
grep -q "RUN+=\"$helper mark\"" "$root$prefix/lib/udev/rules.d/90-tevscan.rules" ||
    fail "the udev rule does not run $helper"
[ -x "$root$helper" ] || fail "$helper is not installed"
[ -x "$root$prefix/sbin/velmortev" ] || fail "$prefix/sbin/velmortev, the unit's program, is not installed"
if command -v systemd-analyze >/dev/null; then
    mkdir -p "$scratch/units"
    for unit in tevscan@.service tevscan@.path; do
        sed "s|^\(Exec[A-Za-z]*=\)$prefix|\1$root$prefix|" "$units/$unit" \
            >"$scratch/units/${unit/@/@mnt-velmor}"
    done
    out=$(MANPATH=$root$prefix/share/man systemd-analyze verify "$scratch"/units/* 2>&1) &&
        [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
    [ "${CI-}" = true ] && fail "systemd-analyze is missing"
    echo "SKIP: no systemd-analyze to verify the unit"
fi
pass_since "$since" "the units, the udev rule and the helper"

# The README's sequence in one build tree: install, package, install the
# package, uninstall what the manifest lists. That takes the files under
# /usr/local, every one of them, and leaves every file of the package.
if [ "$format" = install ]; then
    make_package DEB deb
    dpkg -x "$package" "$root" || { fail "dpkg -x"; exit 1; }
    sed "s|^|$root|" "$manifest" | xargs -d '\n' rm -f
    left=$(cd "$root" && find . ! -type d | sed 's|^\.||' | sort)
    packaged=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
    expect "removing the manifest's files leaves the package's: $(diff <(echo "$packaged") <(echo "$left"))" \
        test "$left" = "$packaged"
fi

finish "the $format package: metadata, contents, unit and programs"
