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
    is the program's own message and exit status when the module runs for
    real.
  - A cleared label counts as no label.
  - Labels are compared as the kit stores them, with lower-case letters
    folded to upper case; the kit judges whether a label is valid.
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
      - Replace a different label (C(velmortev-write-label -f)), or clear a
        device whose label is not I(label).
    type: bool
    default: false
  zero:
    description:
      - Zero the first and the last MiB of the device before the label is
        written (C(velmortev-write-label -c)). Only done when a label is
        written.
    type: bool
    default: false
attributes:
  check_mode:
    description: Reads the label and tells what would change; writes nothing.
    support: full
  diff_mode:
    description: The line of C(velmortev-read-label -r) before and after.
    support: full
notes:
  - Needs root on the managed host, as the kit does.
  - The device is opened exclusively for writing; a mounted or busy device is
    refused by the kit with its message and status.
seealso:
  - module: velmortev.disks.scan
  - module: velmortev.disks.info
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

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    fail_program, fold_label, read_label, run_program)


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
    if current is not None and not force:
        # Run for real, the program refuses with its own message and status.
        if not params['check_mode']:
            return [device, params['label']], None
        return None, 'Device "%s" is already labeled "%s"' % (device, current)
    args = (['-f'] if current is not None else []) + (['-c'] if params['zero'] else [])
    return args + [device, params['label']], None


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
    before = read_or_fail(module, device)
    result = dict(changed=False, previous_label=before['label'],
                  previous_cleared=before['cleared'], label=before['label'])

    params = dict(module.params, check_mode=module.check_mode)
    args, refusal = plan(params, before['label'])
    if refusal:
        module.fail_json(msg=refusal, **result)
    if args is None:
        module.exit_json(**result)

    cmd = [module.get_bin_path('velmortev-write-label', required=True)] + args
    if module.check_mode:
        after_label = None if params['state'] == 'absent' else fold_label(params['label'])
        after_line = label_line(after_label, after_label is None, device)
    else:
        cmd, rc, out, err = run_program(module, 'velmortev-write-label', args)
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
