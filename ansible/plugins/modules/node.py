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
    alone; one with another device number is refused, as the kit never
    replaces a node. A missing node is nothing to remove.
  - Failures carry the program's own message and exit status.
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
    manager: /mnt/vlm
    device: /dev/sdb1
    label: DATA1

- name: Remove the node DATA1
  velmortev.disks.node:
    manager: /mnt/vlm
    label: DATA1
    state: absent
'''

RETURN = r'''
node:
  description: The path of the node.
  returned: always
  type: str
  sample: /mnt/vlm/disks/DATA1
device_number:
  description: MAJOR:MINOR of the node afterwards (in check mode, would have); null when there is none.
  returned: success
  type: str
  sample: '8:17'
cmd:
  description: The command that ran (in check mode, would run).
  returned: changed or failed
  type: list
  elements: str
  sample: [/usr/sbin/velmortev-instantiate-disk, -l, /mnt/vlm, /dev/sdb1, DATA1]
rc:
  description: Exit status of the failed program, as the shell sees it (255 for a node that exists).
  returned: failed
  type: int
  sample: 255
stdout:
  description: Standard output of the failed program.
  returned: failed
  type: str
stderr:
  description: Standard error of the failed program, the message included.
  returned: failed
  type: str
  sample: 'velmortev-instantiate-disk: Unable to create TEV disk "DATA1": File exists'
'''

import os
import stat

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    block_device_number, device_number, fail_program, fold_label, is_entry_name, run_program)


def node_number(path):
    """MAJOR:MINOR of the node at path, '' for an entry that is no block
    node, None when there is no entry."""
    try:
        st = os.lstat(path)
    except OSError:
        return None
    return device_number(st) if stat.S_ISBLK(st.st_mode) else ''


def main():
    module = AnsibleModule(
        argument_spec=dict(
            manager=dict(type='path', required=True),
            label=dict(type='str', required=True),
            device=dict(type='path'),
            state=dict(type='str', choices=['present', 'absent'], default='present'),
        ),
        required_if=[('state', 'present', ['device'])],
        supports_check_mode=True,
    )
    manager, device, state = (module.params[k] for k in ('manager', 'device', 'state'))
    label = module.params['label']
    name = fold_label(label)
    path = os.path.join(manager, 'disks', name)
    # A name that is no plain entry is the program's to refuse.
    existing = node_number(path) if is_entry_name(name) else None
    result = dict(changed=False, node=path, device_number=existing or None)

    if state == 'absent':
        if existing is None:
            module.exit_json(**result)
        program, args, after = 'velmortev-clean-disk', ['-l', manager, label], None
    else:
        try:
            wanted = block_device_number(device)
        except OSError as e:
            wanted = None
            if module.check_mode:
                module.fail_json(msg='Unable to examine device "%s": %s' % (device, e.strerror),
                                 **result)
        if existing is not None and existing == wanted:
            module.exit_json(**result)
        if existing is not None and module.check_mode:
            module.fail_json(msg='Node "%s" exists with device number %s, not %s of "%s"' % (
                path, existing or 'none', wanted or 'none', device), **result)
        program, args, after = 'velmortev-instantiate-disk', ['-l', manager, device, label], wanted

    if module.check_mode:
        cmd = [module.get_bin_path(program, required=True)] + args
    else:
        cmd, rc, out, err = run_program(module, program, args)
        if rc != 0:
            fail_program(module, cmd, rc, out, err, **result)
        after = node_number(path) or None
    result.update(changed=True, cmd=cmd, device_number=after)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
