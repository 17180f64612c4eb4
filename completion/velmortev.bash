# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for the programs of the velmortev kit     -*- shell-script -*-
#
# Options of each program, block devices for device operands, partition
# names for scan patterns, directories for the manager and scan directories,
# and the labels under the manager's disks/ for velmortev-clean-disk and the
# front end velmortev, with its verbs and each verb's options.

# Block devices below the word (below /dev/ for an empty word), with the
# directories on the way to them.
_velmortev_block_devices()
{
    local cur=${1:-/dev/} path stepped=
    local IFS=$'\n'
    for path in $(compgen -f -- "$cur"); do
        if [[ -b $path ]]; then
            COMPREPLY+=("$path")
        elif [[ -d $path ]]; then
            COMPREPLY+=("${path%/}/")
            stepped=1
        fi
    done
    [[ $stepped ]] && compopt -o nospace 2>/dev/null
    return 0
}

# Directories for the word, with a final slash and no space after them.
_velmortev_directories()
{
    local IFS=$'\n'
    COMPREPLY+=($(compgen -d -S / -- "$1"))
    compopt -o nospace 2>/dev/null
    return 0
}

# Partition names of the kernel's table that begin with the word: scan
# patterns are prefixes of these names.
_velmortev_partition_names()
{
    local major minor blocks name names=()
    while read -r major minor blocks name; do
        [[ $major =~ ^[0-9]+$ && $major != 0 && $name ]] && names+=("$name")
    done 2>/dev/null </proc/partitions
    COMPREPLY+=($(compgen -W "${names[*]}" -- "$1"))
}

# The labels of the nodes under disks/ of each manager after the word, each
# once. Labels are upper case; the word is folded to match.
_velmortev_labels_under()
{
    local cur=${1^^} manager path
    local -A labels=()
    shift
    for manager; do
        [[ $manager && -d $manager/disks ]] || continue
        for path in "$manager"/disks/*; do
            [[ -e $path || -L $path ]] && labels[${path##*/}]=1
        done
    done
    local IFS=$'\n'
    COMPREPLY+=($(compgen -W "${!labels[*]}" -- "$cur"))
}

# The labels under the manager's disks/, the manager being the argument of
# the last -l on the line.
_velmortev_manager_labels()
{
    local manager= i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -l ]]; then
            manager=${COMP_WORDS[i + 1]}
        elif [[ $word == -l?* ]]; then
            manager=${word#-l}
        fi
    done
    _velmortev_labels_under "$1" "$manager"
}

# The managers the front end would work on, cheaply: those given with -m on
# the line; else MANAGERS of the settings (a later file wins, as for the
# front end); else the local mount points that hold a disks/ directory.
# Nothing is opened but these directories: completing must not touch a disk.
_velmortev_front_managers()
{
    local i word managers=() line file
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -m | --manager) managers+=("${COMP_WORDS[i + 1]}") ;;
            --manager=*) managers+=("${word#--manager=}") ;;
            -m?*) managers+=("${word#-m}") ;;
        esac
    done
    if ((${#managers[@]} == 0)); then
        local LC_COLLATE=C
        for file in /etc/velmortev/velmortev.conf /etc/velmortev/conf.d/*.conf; do
            [[ -r $file ]] || continue
            while IFS= read -r line; do
                [[ $line =~ ^[[:space:]]*MANAGERS[[:space:]]*=[[:space:]]*\"?([^\"]*) ]] &&
                    read -r -a managers <<<"${BASH_REMATCH[1]}"
            done <"$file"
        done
    fi
    if ((${#managers[@]} == 0)); then
        local id parent devno root mountpoint rest
        while read -r id parent devno root mountpoint rest; do
            # Network and user-space mounts may hang a stat: left alone.
            [[ ${rest#* - } == @(nfs*|cifs*|smb*|fuse*|9p*|ceph*|gluster*)\ * ]] && continue
            mountpoint=${mountpoint//\\040/ }
            [[ -d $mountpoint/disks ]] && managers+=("$mountpoint")
        done 2>/dev/null </proc/self/mountinfo
    fi
    _velmortev_labels_under "$1" "${managers[@]}"
}

# The front end: its verbs, the common options everywhere, each verb's own
# options after it, and labels, devices and backups as its operands.
_velmortev_front()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local common="-h --help -V --version -m --manager -o --output -y --yes"
    local verbs="list show create delete rename scan config restore check metrics"
    COMPREPLY=()
    case $prev in
        -m | --manager | --textfile) _velmortev_directories "$cur"; return 0 ;;
        -o | --output) COMPREPLY=($(compgen -W "json" -- "$cur")); return 0 ;;
        --device | --assume-label) _velmortev_block_devices "$cur"; return 0 ;;
    esac

    # The verb and the operands before the word; options and their
    # arguments do not count, and every word after "--" is an operand.
    local i word verb= operands=() options_end=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $options_end || $word != -?* ]]; then
            if [[ $verb ]]; then operands+=("$word"); else verb=$word; fi
        elif [[ $word == -- ]]; then
            options_end=1
        elif [[ $word == @(-m|--manager|-o|--output|--device|--textfile|--assume-label) ]]; then
            ((i++))
        fi
    done

    # What the verb takes: its options, and what each operand is.
    local options= kinds=
    case $verb in
        list | config | check) ;;
        metrics) options="--textfile" ;;
        show) kinds="label-or-device" ;;
        create) options="-n --dry-run --replace --wipe-signatures"; kinds="device new-label" ;;
        delete) options="-n --dry-run --device"; kinds="label" ;;
        rename) options="-n --dry-run"; kinds="label new-label" ;;
        scan) options="-n --dry-run --assume-label" ;;
        restore) options="-n --dry-run"; kinds="backup device" ;;
        '') ;;
        *) return 0 ;;
    esac
    if [[ ! $options_end && $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $options" -- "$cur"))
        return 0
    fi
    if [[ ! $verb ]]; then
        COMPREPLY=($(compgen -W "$verbs" -- "$cur"))
        return 0
    fi
    kinds=($kinds)
    case ${kinds[${#operands[@]}]-} in
        device) _velmortev_block_devices "$cur" ;;
        label) _velmortev_front_managers "$cur" ;;
        label-or-device)
            if [[ $cur == /* ]]; then
                _velmortev_block_devices "$cur"
            else
                _velmortev_front_managers "$cur"
            fi ;;
        backup)
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            compopt -o filenames 2>/dev/null ;;
    esac
    return 0
}

_velmortev()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local program=${COMP_WORDS[0]##*/}
    # flags: options without an argument; with_argument: options with one;
    # operands: what each operand is, in order.
    local flags="-h -V --help --version" with_argument= operands=
    case $program in
        velmortev-read-label)        flags+=" -r"; operands="device" ;;
        velmortev-write-label)       flags+=" -f -c -d -r"; operands="device label" ;;
        velmortev-scan-partitions)   with_argument="-o -x -D" ;;
        velmortev-instantiate-disk)  with_argument="-l"; operands="device label" ;;
        velmortev-clean-disk)        with_argument="-l"; operands="manager-label" ;;
        velmortev-candidate-p)       flags+=" -f -v --force --verbose"; operands="device" ;;
        velmortev-reload-partitions) ;;
        tevscan)                     flags="-h -V"; with_argument="-l -s -x" ;;
        velmortev-discover)          flags=; operands="discovery" ;;
    esac
    COMPREPLY=()

    # The argument of an option.
    if [[ $prev == -? && " $with_argument " == *" $prev "* ]]; then
        case $prev in
            -l | -D) _velmortev_directories "$cur" ;;
            -o | -s | -x) _velmortev_partition_names "$cur" ;;
        esac
        return 0
    fi

    # Which operand the word is: options and their arguments do not count,
    # and every word after "--" is an operand.
    local i word count=0 options_end=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $options_end || $word != -?* ]]; then
            ((count++))
        elif [[ $word == -- ]]; then
            options_end=1
        elif [[ " $with_argument " == *" $word "* ]]; then
            ((i++))
        elif [[ $program == velmortev-write-label && $word == -*d* && $word != --* ]]; then
            operands="device"
        fi
    done

    if [[ ! $options_end && $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$flags $with_argument" -- "$cur"))
        return 0
    fi
    local kinds=($operands)
    case ${kinds[count]-} in
        device) _velmortev_block_devices "$cur" ;;
        manager-label) _velmortev_manager_labels "$cur" ;;
        discovery) [[ "VLMR:*" == "$cur"* ]] && COMPREPLY=("'VLMR:*'") ;;
        label) ;;
        # Past the last operand nothing more is wanted; a program without
        # operands has only its options to offer.
        *) [[ ! $options_end && ${#kinds[@]} -eq 0 ]] &&
               COMPREPLY=($(compgen -W "$flags $with_argument" -- "$cur")) ;;
    esac
    return 0
}

complete -F _velmortev_front velmortev
complete -F _velmortev velmortev-read-label velmortev-write-label \
    velmortev-scan-partitions velmortev-instantiate-disk velmortev-clean-disk \
    velmortev-candidate-p velmortev-reload-partitions velmortev-discover tevscan
