#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Creates and removes one disk node of a manager filesystem through
# velmortev-instantiate-disk and velmortev-clean-disk.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: node
short_description: Create or remove the disk node of a label in a manager filesystem
description:
  - Creates the block node I(manager)/disks/I(label) for I(device) with
    C(velmortev-instantiate-disk), or removes it with
    C(velmortev-clean-disk), both from the velmortev kit installed on the
    managed host (looked up along C(PATH) and the sbin directories).
  - A node that exists already with the device number of I(device) is left
    alone. One that stands for another device (or is no block node) is
    refused, naming the device it stands for, unless I(force) is set; then
    it is removed and made anew. A missing node is nothing to remove.
  - Failures carry the program's own message and exit status. The label
    rules, the manager filesystem and the device are checked before
    anything changes, in check mode too, with the message and status the
    program would end with.
author: velmortev developers (@velmortev)
options:
  manager:
    description: The mount point of the manager filesystem.
    type: path
    required: true
  label:
    description:
      - The label that names the node; lower-case letters are folded to upper
        case. The device's label is not read.
    type: str
    required: true
  device:
    description:
      - The block device the node stands for. Required with C(state=present),
        not used with C(state=absent).
    type: path
  state:
    description: C(present) creates the node, C(absent) removes it.
    type: str
    choices: [present, absent]
    default: present
  force:
    description:
      - Replace a node of the label that stands for another device
        (C(velmortev-clean-disk), then C(velmortev-instantiate-disk)).
    type: bool
    default: false
attributes:
  check_mode:
    description: Looks at the node and the device and tells what would change.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host, as the kit does.
seealso:
  - module: velmortev.disks.scan
'''

EXAMPLES = r'''
- name: Give the disk DATA1 its node on this host
  velmortev.disks.node:
    manager: /mnt/velmor
    device: /dev/sdb1
    label: DATA1

- name: Remove the node DATA1
  velmortev.disks.node:
    manager: /mnt/velmor
    label: DATA1
    state: absent
'''

RETURN = r'''
node:
  description: The path of the node.
  returned: always
  type: str
  sample: /mnt/velmor/disks/DATA1
device_number:
  description: MAJOR:MINOR of the node afterwards (in check mode, would have); null when there is none.
  returned: success
  type: str
  sample: '8:17'
replaced:
  description: MAJOR:MINOR of the node that I(force) replaced; null for an entry that was no block node.
  returned: when a node was replaced
  type: str
  sample: '8:33'
cmd:
  description: The command that ran last (in check mode, would run).
  returned: changed or failed
  type: list
  elements: str
  sample: [/usr/sbin/velmortev-instantiate-disk, -l, /mnt/velmor, /dev/sdb1, DATA1]
rc:
  description: Exit status of the failed program, as the shell sees it (250 for a manager of another type).
  returned: failed
  type: int
  sample: 250
stdout:
  description: Standard output of the failed program.
  returned: failed
  type: str
stderr:
  description: Standard error of the failed program, the message included.
  returned: failed
  type: str
  sample: 'velmortev-instantiate-disk: Unable to open manager: No such device or address'
'''

import errno
import os
import stat

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    block_device_name, block_device_number, device_number, fail_as, fail_program, fold_label,
    label_problem, manager_errno, run_program, status_of)


def node_number(path):
    """MAJOR:MINOR of the node at path, '' for an entry that is no block
    node, None when there is no entry."""
    try:
        st = os.lstat(path)
    except OSError:
        return None
    return device_number(st) if stat.S_ISBLK(st.st_mode) else ''


def check_operands(module, program):
    """Ends the module where the program would refuse before touching the
    node: the label rules, the manager filesystem, and (instantiate) a device
    that does not open. Returns the device number of the device."""
    manager, device, label = (module.params[k] for k in ('manager', 'device', 'label'))
    if label == '':
        module.fail_json(msg='The label is empty')
    problem = label_problem(label)
    if problem:
        fail_as(module, program, 234, problem)
    error = manager_errno(manager)
    if error:
        fail_as(module, program, status_of(error), 'Unable to open manager: %s' % os.strerror(error))
    if module.params['state'] == 'absent':
        return None
    try:
        number = block_device_number(device)
    except OSError as e:
        number, error = None, e.errno
    else:
        error = 0 if number else errno.ENOTBLK
    if error:
        fail_as(module, program, status_of(error),
                'Unable to open device "%s": %s' % (device, os.strerror(error)))
    return number


def mismatch(path, existing, device, wanted):
    """The refusal of a node that stands for another device."""
    if existing:
        other = 'stands for %s (%s)' % (existing, block_device_name(existing) or 'no device here')
    else:
        other = 'is no block node'
    return 'Node "%s" %s, not for "%s" (%s); set force to replace it' % (path, other, device, wanted)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            manager=dict(type='path', required=True),
            label=dict(type='str', required=True),
            device=dict(type='path'),
            state=dict(type='str', choices=['present', 'absent'], default='present'),
            force=dict(type='bool', default=False),
        ),
        required_if=[('state', 'present', ['device'])],
        supports_check_mode=True,
    )
    manager, device, state = (module.params[k] for k in ('manager', 'device', 'state'))
    program = 'velmortev-clean-disk' if state == 'absent' else 'velmortev-instantiate-disk'
    wanted = check_operands(module, program)
    path = os.path.join(manager, 'disks', fold_label(module.params['label']))
    existing = node_number(path)
    result = dict(changed=False, node=path, device_number=existing or None)
    if existing is None if state == 'absent' else existing == wanted:
        module.exit_json(**result)

    steps = [('velmortev-clean-disk', ['-l', manager, module.params['label']])]
    if state == 'present':
        if existing is not None:
            if not module.params['force']:
                module.fail_json(msg=mismatch(path, existing, device, wanted), **result)
            result['replaced'] = existing or None
        else:
            steps = []
        steps.append(('velmortev-instantiate-disk', ['-l', manager, device, module.params['label']]))
    for program, args in steps:
        if module.check_mode:
            cmd = [module.get_bin_path(program, required=True)] + args
            continue
        cmd, rc, out, err = run_program(module, program, args)
        if rc != 0:
            fail_program(module, cmd, rc, out, err, **result)
    after = wanted if module.check_mode else node_number(path) or None
    result.update(changed=True, cmd=cmd, device_number=after)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
