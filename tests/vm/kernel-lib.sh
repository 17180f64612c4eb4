# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash
# The kernel of the VM tiers (tests/vm/run-vm.sh, tests/system/), sourced by
# bash scripts after tests/functions.sh, whose unavailable() skips the test
# (77) or fails it under CI=true:
#
#   vm_cache [DIR]          sets cache: DIR, or $VELMORTEV_VM_CACHE, or
#                           /var/cache/velmortev-vm for root and
#                           ${XDG_CACHE_HOME:-~/.cache}/velmortev-vm for others
#   vm_kernel               sets abi, kernel (vmlinuz) and modules (its
#                           lib/modules tree): the ABI package that Debian's
#                           linux-image-amd64 stands for today, downloaded once
#                           into the cache and unpacked there, never installed
#   vm_manager_module BUILD sets module_ko: the manager-type filesystem of
#                           tests/vm/module built against that kernel's headers
#   vm_module_files NAME    prints the module files of NAME and its
#                           dependencies, in load order, relative to $modules
#   vm_plain_modules DIR ORDER NAME...
#                           copies the modules NAME and their dependencies
#                           into DIR, unpacked (busybox insmod takes plain
#                           ones), and appends a line "NAME FILE..." in load
#                           order to the file ORDER for each
#   vm_accel                prints kvm where the processor offers it, else tcg
#   vm_show_end N FILE...   shows the last N lines of each FILE that exists;
#                           a run that ended before writing one says so
# vm_kernel and vm_manager_module hold the cache's lock while they work.

vm_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

vm_cache() {
  cache=${1:-${VELMORTEV_VM_CACHE-}}
  if [ -z "$cache" ]; then
    if [ "$(id -u)" -eq 0 ]; then cache=/var/cache/velmortev-vm
    else cache=${XDG_CACHE_HOME:-$HOME/.cache}/velmortev-vm; fi
  fi
  mkdir -p "$cache"
}

vm_kernel() {
  local package tree
  for tool in qemu-system-x86_64 cpio depmod dpkg-deb apt-get; do
    command -v "$tool" >/dev/null || unavailable "$tool is not installed"
  done
  exec 9>"$cache/.lock"
  flock 9
  package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1 || true)
  if [ -z "$package" ]; then
    # Offline or no package lists: the newest kernel already in the cache.
    package=$(cd "$cache" && ls -d linux-image-*-amd64 2>/dev/null | sort -V | tail -n1 || true)
    [ -n "$package" ] || unavailable "apt cannot resolve linux-image-amd64 and the cache $cache is empty"
  fi
  abi=${package#linux-image-}
  tree=$cache/$package
  if [ ! -e "$tree/boot/vmlinuz-$abi" ]; then
    echo "fetching $package into $cache" >&2
    local fetch_started=$SECONDS
    rm -rf "$cache/download" "$tree.new"
    mkdir -p "$cache/download"
    (cd "$cache/download" && apt-get download -q "$package" >apt.log 2>&1) || {
      cat "$cache/download/apt.log" >&2
      unavailable "apt-get download $package failed"
    }
    mkdir -p "$tree.new"
    dpkg-deb -x "$cache"/download/*.deb "$tree.new"
    depmod -b "$tree.new" "$abi"
    rm -rf "$cache/download" "$tree"
    mv "$tree.new" "$tree"
    echo "fetched and unpacked $package in $((SECONDS - fetch_started)) s" >&2
  fi
  flock -u 9
  # shellcheck disable=SC2034  # the caller's
  kernel=$tree/boot/vmlinuz-$abi
  modules=$tree/lib/modules/$abi
}

vm_manager_module() {
  local build=$1 headers=/usr/src/linux-headers-$abi dir
  command -v make >/dev/null || unavailable "make is not installed"
  [ -e "$headers/Makefile" ] || unavailable "the kernel headers linux-headers-$abi are not installed"
  dir=$build/tests/vm/module-$abi
  module_ko=$dir/vlmmgr.ko
  # Under the lock: VM tests running side by side share the build.
  exec 9>"$cache/.lock"
  flock 9
  if [ ! -e "$module_ko" ] || [ "$vm_lib_dir/module/vlmmgr.c" -nt "$module_ko" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$vm_lib_dir/module/vlmmgr.c" "$vm_lib_dir/module/Kbuild" "$dir/"
    make -s -C "$headers" M="$dir" modules >"$dir/build.log" 2>&1 || {
      cat "$dir/build.log" >&2
      echo "building the manager-type filesystem module failed" >&2
      exit 1
    }
  fi
  flock -u 9
}

vm_module_files() {
  local line path order=
  line=$(grep -E "/$1\.ko(\.[gx]z|\.zst)?:" "$modules/modules.dep") || return 1
  for path in ${line#*:}; do order="$path $order"; done
  echo "$order${line%%:*}"
}

vm_plain_modules() {
  local dir=$1 order_file=$2 name path base files
  shift 2
  mkdir -p "$dir"
  for name in "$@"; do
    files=
    for path in $(vm_module_files "$name") ; do
      base=$(basename "$path")
      base=${base%.ko*}.ko
      files="$files $base"
      [ -e "$dir/$base" ] && continue
      case $path in
        *.xz) xz -dc "$modules/$path" ;;
        *.zst) zstd -qdc "$modules/$path" ;;
        *.gz) gzip -dc "$modules/$path" ;;
        *) cat "$modules/$path" ;;
      esac >"$dir/$base"
    done
    [ -n "$files" ] || unavailable "the kernel $abi has no module $name"
    echo "$name$files" >>"$order_file"
  done
}

vm_accel() {
  # KVM only where the processor offers virtualisation to us: a /dev/kvm
  # without it can start a VM that never gets anywhere.
  if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
    echo kvm
  else
    echo tcg
  fi
}

vm_show_end() {
  local lines=$1 file
  shift
  for file in "$@"; do
    if [ -s "$file" ]; then
      echo "--- the last $lines lines of $file"
      tail -n "$lines" "$file"
    else
      echo "--- $file: nothing written (the run ended before it)"
    fi
  done
}
