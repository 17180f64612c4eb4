# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for the programs of the velmortev kit     -*- shell-script -*-
#
# Options of each program, block devices for device operands, partition
# names for scan patterns, directories for the manager and scan directories,
# and the labels under the manager's disks/ for velmortev-clean-disk.

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

# The labels under the manager's disks/, the manager being the argument of
# the last -l on the line. Labels are upper case; the word is folded to match.
_velmortev_manager_labels()
{
    local manager= i word labels=() path
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -l ]]; then
            manager=${COMP_WORDS[i + 1]}
        elif [[ $word == -l?* ]]; then
            manager=${word#-l}
        fi
    done
    [[ $manager && -d $manager/disks ]] || return 0
    for path in "$manager"/disks/*; do
        [[ -e $path || -L $path ]] && labels+=("${path##*/}")
    done
    local IFS=$'\n'
    COMPREPLY+=($(compgen -W "${labels[*]}" -- "${1^^}"))
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

complete -F _velmortev velmortev-read-label velmortev-write-label \
    velmortev-scan-partitions velmortev-instantiate-disk velmortev-clean-disk \
    velmortev-candidate-p velmortev-reload-partitions velmortev-discover tevscan
