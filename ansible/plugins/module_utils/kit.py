# SPDX-License-Identifier: GPL-2.0-or-later
# -*- coding: utf-8 -*-
# Shared by the modules of this collection: running the programs of the
# velmortev kit installed on the managed host, and reading what they leave
# behind (labels, the disk nodes of a manager filesystem). The modules never
# touch a label block themselves: every label is read and written by the kit.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import ctypes
import errno as errno_module
import os
import stat

# The type word that statfs reports for the driver's manager filesystem.
MANAGER_TYPE = 0x958459f6


def run_program(module, name, args):
    """Runs the kit's program name (looked up along PATH and the sbin
    directories) with args; returns (cmd, rc, stdout, stderr)."""
    cmd = [module.get_bin_path(name, required=True)] + list(args)
    rc, out, err = module.run_command(cmd)
    return cmd, rc, out, err


def program_message(cmd, rc, out, err):
    """The program's own words for a failure: its standard error, else its
    standard output, else the bare status."""
    return (err.rstrip('\n') or out.rstrip('\n')
            or '%s ended with status %d' % (os.path.basename(cmd[0]), rc))


def fail_program(module, cmd, rc, out, err, **extra):
    """Ends the module with the failed program's message and exit status."""
    module.fail_json(msg=program_message(cmd, rc, out, err), rc=rc, cmd=cmd,
                     stdout=out, stderr=err, **extra)


def status_of(errno):
    """A negated error number as the shell sees a program's exit status."""
    return (-errno) & 0xff


def fail_as(module, program, rc, message, **extra):
    """Ends the module as the kit's program would end: its prefixed
    message and its exit status, without running it."""
    module.fail_json(msg='%s: %s' % (program, message), rc=rc, **extra)


def label_problem(label):
    """What the kit's label rules say of label: None when it passes (the
    empty label included), else the message of the refusal, which ends the
    program with status 234 before any device is opened."""
    folded = fold_label(label)
    for c in folded:
        if not ('A' <= c <= 'Z' or '0' <= c <= '9' or c == '_'):
            return "Invalid characters in label: '%s'" % c
    if folded and not 'A' <= folded[0] <= 'Z':
        return "Invalid characters in label: '%s'" % folded[0]
    if len(folded) > 24:
        return "Label size exceeds '24' characters"
    return None


def exclusive_open_errno(device):
    """0 when device opens for exclusive read-write use, as the kit's
    writers open it, else the error number (EBUSY while it is mounted or
    held). Nothing is read or written."""
    try:
        fd = os.open(device, os.O_RDWR | os.O_EXCL)
    except OSError as e:
        return e.errno
    os.close(fd)
    return 0


def manager_errno(manager):
    """0 when statfs reports the manager's filesystem type for the path,
    else the error number the kit ends with (ENXIO for another type)."""
    libc = ctypes.CDLL(None, use_errno=True)
    buf = ctypes.create_string_buffer(256)  # larger than any struct statfs
    if libc.statfs(manager.encode('utf-8', 'surrogateescape'), buf) != 0:
        return ctypes.get_errno()
    return 0 if ctypes.c_ulong.from_buffer(buf).value == MANAGER_TYPE else errno_module.ENXIO


def block_device_name(number):
    """/dev/NAME of the block device MAJOR:MINOR as sysfs knows it, or None."""
    try:
        return '/dev/' + os.path.basename(os.readlink('/sys/dev/block/' + number))
    except OSError:
        return None


def signatures(module, device):
    """The signatures that util-linux's low-level probe (blkid -p) finds on
    device, each as a short description: a filesystem, a RAID or LVM member,
    a partition table. The kit's own label is none of them."""
    cmd = [module.get_bin_path('blkid', required=True), '-p', '-o', 'export', device]
    rc, out, err = module.run_command(cmd)
    if rc == 2:  # nothing found
        return []
    if rc == 8:  # more than one signature: blkid says so and what to do
        return [err.strip() or 'ambivalent result']
    if rc != 0:
        fail_program(module, cmd, rc, out, err)
    fields = dict(line.split('=', 1) for line in out.splitlines() if '=' in line)
    found = []
    if 'TYPE' in fields:
        found.append('%s (%s)' % (fields['TYPE'], fields.get('USAGE', 'signature')))
    if 'PTTYPE' in fields:
        found.append('a %s partition table' % fields['PTTYPE'])
    return found


def fold_label(label):
    """The label as the kit stores it: ASCII lower-case letters folded to
    upper case, everything else left for the program to judge."""
    return ''.join(c.upper() if 'a' <= c <= 'z' else c for c in label)


def parse_read_label(out):
    """Reads the output of velmortev-read-label -r, LABEL:DEVICE. Returns
    (label, cleared): ('DATA1', False) for a label, (None, True) for a
    cleared one, (None, False) when the device carries none."""
    line = out.split('\n', 1)[0]
    if not line:
        return None, False
    label = line.partition(':')[0]
    if not label:
        return None, True
    return label, False


def read_label(module, device):
    """Reads the label of device. Returns a dict with label, cleared and the
    program's line, or with rc and error when the program failed."""
    cmd, rc, out, err = run_program(module, 'velmortev-read-label', ['-r', device])
    if rc != 0:
        return dict(device=device, label=None, cleared=False, rc=rc,
                    error=program_message(cmd, rc, out, err))
    label, cleared = parse_read_label(out)
    return dict(device=device, label=label, cleared=cleared, line=out)


def device_number(st):
    """MAJOR:MINOR of a stat result of a block device."""
    return '%d:%d' % (os.major(st.st_rdev), os.minor(st.st_rdev))


def block_device_number(path):
    """MAJOR:MINOR of the block device at path (links followed), or None
    when path is not one; OSError when it cannot be examined."""
    st = os.stat(path)
    return device_number(st) if stat.S_ISBLK(st.st_mode) else None


def list_nodes(module, manager, required=True):
    """The entries of manager/disks/, name -> MAJOR:MINOR for a block node
    and None for anything else. When the directory cannot be read, ends the
    module, or returns None if not required."""
    disks = os.path.join(manager, 'disks')
    try:
        names = sorted(os.listdir(disks))
    except OSError as e:
        if not required:
            return None
        module.fail_json(msg='Unable to read "%s": %s' % (disks, e.strerror), errno=e.errno)
    nodes = {}
    for name in names:
        try:
            st = os.lstat(os.path.join(disks, name))
        except OSError:
            continue  # removed while we looked
        nodes[name] = device_number(st) if stat.S_ISBLK(st.st_mode) else None
    return nodes


def scan_partitions(module, scan_order, exclude):
    """The partitions in scan order, as velmortev-scan-partitions lists
    them; ends the module when the program fails."""
    args = []
    for pattern in scan_order or []:
        args += ['-o', pattern]
    for pattern in exclude or []:
        args += ['-x', pattern]
    cmd, rc, out, err = run_program(module, 'velmortev-scan-partitions', args)
    if rc != 0:
        fail_program(module, cmd, rc, out, err)
    return [line for line in out.split('\n') if line]
