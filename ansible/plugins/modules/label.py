#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes, replaces and clears the label of a disk through velmortev-read-label
# and velmortev-write-label.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: label
short_description: Write, replace or clear the label of a disk
description:
  - Reads the label of I(device) with C(velmortev-read-label -r) and writes,
    replaces or clears it with C(velmortev-write-label), both from the
    velmortev kit installed on the managed host (looked up along C(PATH) and
    the sbin directories).
  - A device that carries the wanted label already is left alone. A device
    that carries another label is refused unless I(force) is set; the refusal
    is the program's own message and exit status.
  - A device without the kit's label that holds another signature, a
    filesystem, a RAID or LVM member or a partition table, is refused unless
    I(force) is set, whether or not I(zero) is asked for. The signatures are
    found with util-linux's low-level probe (C(blkid -p)); the refusal names
    what was found.
  - Before anything is written, and in check mode too, the label is checked
    by the kit's rules and the device is opened exclusively and closed again
    (writing nothing, as C(velmortev-candidate-p) does). An invalid label and
    a mounted or held device fail with the message and exit status the
    writer would end with.
  - A cleared label counts as no label.
  - Labels are compared as the kit stores them, with lower-case letters
    folded to upper case.
author: velmortev developers (@velmortev)
options:
  device:
    description: The block device, a whole disk or a partition.
    type: path
    required: true
  label:
    description:
      - The label, 1 to 24 characters of A-Z, 0-9 and _, starting with a
        letter; lower-case letters are folded to upper case.
      - Required with I(state=present). With I(state=absent) it guards the
        clearing, which then only happens when the device carries this label
        (or with I(force)).
    type: str
  state:
    description:
      - C(present) writes the label, C(absent) clears a labelled device.
    type: str
    choices: [present, absent]
    default: present
  force:
    description:
      - Replace a different label (C(velmortev-write-label -f)), label a
        device that holds another signature, or clear a device whose label is
        not I(label).
    type: bool
    default: false
  zero:
    description:
      - Zero the first and the last MiB of the device before the label is
        written (C(velmortev-write-label -c)). Only done when a label is
        written; a device holding another signature needs I(force) as well.
    type: bool
    default: false
attributes:
  check_mode:
    description:
      - Reads the label and tells what would change; writes nothing. Fails
        where the real run would fail, with the same message and status.
    support: full
  diff_mode:
    description: The line of C(velmortev-read-label -r) before and after.
    support: full
notes:
  - Needs root on the managed host, as the kit does.
  - The device is opened exclusively for writing; a mounted or busy device is
    refused with the kit's message and status.
  - Needs C(blkid) of util-linux on the managed host when a label is to be
    written without I(force).
seealso:
  - module: velmortev.disks.scan
  - module: velmortev.disks.disk_info
'''

EXAMPLES = r'''
- name: Label the shared disk once for the whole cluster
  velmortev.disks.label:
    device: /dev/sdb1
    label: DATA1
  run_once: true

- name: Replace whatever label the disk carries, zeroing its ends first
  velmortev.disks.label:
    device: /dev/sdb1
    label: DATA2
    force: true
    zero: true

- name: Clear the label, but only if it is still DATA2
  velmortev.disks.label:
    device: /dev/sdb1
    label: DATA2
    state: absent
'''

RETURN = r'''
label:
  description: The label the device carries afterwards (in check mode, would carry); null for none.
  returned: success
  type: str
  sample: DATA1
previous_label:
  description: The label the device carried before; null for none.
  returned: always
  type: str
  sample: DATA1
previous_cleared:
  description: Whether the device carried a cleared label before.
  returned: always
  type: bool
  sample: false
cmd:
  description: The write command that ran (in check mode, would run); absent when nothing was to be done.
  returned: changed or failed
  type: list
  elements: str
  sample: [/usr/sbin/velmortev-write-label, /dev/sdb1, DATA1]
signatures:
  description: What C(blkid -p) found on a device that was refused for it.
  returned: when refused for another signature
  type: list
  elements: str
  sample: ['ext4 (filesystem)']
rc:
  description: Exit status of the failed program, as the shell sees it (239 for a label already there).
  returned: failed
  type: int
  sample: 239
stdout:
  description: Standard output of the failed program.
  returned: failed
  type: str
stderr:
  description: Standard error of the failed program, the message included.
  returned: failed
  type: str
  sample: 'velmortev-write-label: Device "/dev/sdb1" is already labeled "DATA1"'
'''

import errno
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    exclusive_open_errno, fail_as, fail_program, fold_label, label_problem, read_label,
    run_program, signatures, status_of)

WRITER = 'velmortev-write-label'


def read_or_fail(module, device):
    info = read_label(module, device)
    if 'error' in info:
        module.fail_json(msg=info['error'], rc=info['rc'])
    return info


def label_line(label, cleared, device):
    """What velmortev-read-label -r prints for such a device."""
    if label is not None:
        return '%s:%s\n' % (label, device)
    return ':%s\n' % device if cleared else ''


def plan(params, current):
    """The write-label arguments that bring the device to the wanted state,
    None when it is there already, or a refusal message."""
    device, force = params['device'], params['force']
    wanted = fold_label(params['label']) if params['label'] is not None else None
    if params['state'] == 'absent':
        if current is None:
            return None, None
        if wanted is not None and current != wanted and not force:
            return None, 'Device "%s" is labeled "%s", not "%s"; set force to clear it' % (
                device, current, wanted)
        return ['-d', device], None
    if current == wanted:
        return None, None
    # Without force, another label is the program's to refuse (run for real).
    args = (['-f'] if current is not None and force else []) + (['-c'] if params['zero'] else [])
    return args + [device, params['label']], None


def check_label_operand(module, label):
    """Ends the module where the writer would refuse the label operand: the
    label rules (before any device is opened) and the empty label (which the
    writer refuses only after opening, and with zero after zeroing)."""
    problem = label_problem(label)
    if problem:
        fail_as(module, WRITER, 234, problem)
    if label == '':
        fail_as(module, WRITER, 234, 'Unable to label device "%s": %s' % (
            module.params['device'], os.strerror(errno.EINVAL)))


def check_writable(module, before, result):
    """Ends the module where the write would fail, found without writing: a
    device in use (the writer's exclusive open), in check mode another label
    without force, and another signature without force."""
    device, force = module.params['device'], module.params['force']
    error = exclusive_open_errno(device)
    if error:
        fail_as(module, WRITER, status_of(error),
                'Unable to open device "%s": %s' % (device, os.strerror(error)), **result)
    if module.params['state'] == 'absent' or force:
        return
    if before['label'] is not None:
        if module.check_mode:
            fail_as(module, WRITER, status_of(errno.EEXIST),
                    'Device "%s" is already labeled "%s"' % (device, before['label']), **result)
        return
    found = signatures(module, device)
    if found:
        module.fail_json(msg='Device "%s" holds %s; set force to label it all the same' % (
            device, ' and '.join(found)), signatures=found, **result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type='path', required=True),
            label=dict(type='str'),
            state=dict(type='str', choices=['present', 'absent'], default='present'),
            force=dict(type='bool', default=False),
            zero=dict(type='bool', default=False),
        ),
        required_if=[('state', 'present', ['label'])],
        supports_check_mode=True,
    )
    device = module.params['device']
    if module.params['state'] == 'present':
        check_label_operand(module, module.params['label'])
    before = read_or_fail(module, device)
    result = dict(changed=False, previous_label=before['label'],
                  previous_cleared=before['cleared'], label=before['label'])

    args, refusal = plan(module.params, before['label'])
    if refusal:
        module.fail_json(msg=refusal, **result)
    if args is None:
        module.exit_json(**result)
    check_writable(module, before, result)

    cmd = [module.get_bin_path(WRITER, required=True)] + args
    if module.check_mode:
        after_label = None if module.params['state'] == 'absent' else fold_label(module.params['label'])
        after_line = label_line(after_label, after_label is None, device)
    else:
        cmd, rc, out, err = run_program(module, WRITER, args)
        if rc != 0:
            fail_program(module, cmd, rc, out, err, **result)
        after = read_or_fail(module, device)
        after_label, after_line = after['label'], after['line']
    result.update(changed=True, cmd=cmd, label=after_label)
    if module._diff:
        result['diff'] = dict(before=before['line'], after=after_line,
                              before_header='%s (label)' % device,
                              after_header='%s (label)' % device)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
