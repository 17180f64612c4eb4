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
    managed host (looked up along C(PATH) and the sbin directories). The
    front end C(velmortev) has no verb for one node; its C(create),
    C(delete) and C(scan) make the nodes follow the labels.
  - What is there, and whether the operands are right, the front end says
    before anything changes, in check mode too, that is the nodes of the manager
    (C(velmortev -m) I(manager) C(list -o json), which fails for a path
    that is no manager, naming it), the label (C(velmortev show)
    I(label), which refuses an invalid one) and the device
    (C(velmortev show) I(device)). Its refusals carry its message and exit
    status, as do the programs' when they fail.
  - A node that exists already with the device number of I(device) is left
    alone. One that stands for another device (or is no block node) is
    refused, naming the device it stands for, unless I(force) is set; then
    it is removed and made anew. A missing node is nothing to remove.
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
    description: Asks the front end what is there and tells what would change.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host, as the kit does.
  - A node whose device does not carry its label is what C(velmortev check)
    reports as a stale node; M(velmortev.disks.label) and
    M(velmortev.disks.scan) keep the nodes in line with the labels.
seealso:
  - module: velmortev.disks.scan
  - module: velmortev.disks.label
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
  description: The command that ran last (in check mode, would run), or the front end's that refused.
  returned: changed or failed
  type: list
  elements: str
  sample: [/usr/sbin/velmortev-instantiate-disk, -l, /mnt/velmor, /dev/sdb1, DATA1]
rc:
  description: Exit status of the program that failed, as the shell sees it (250 for a path that is no manager).
  returned: failed
  type: int
  sample: 250
stdout:
  description: Standard output of the program that failed.
  returned: failed
  type: str
stderr:
  description: Standard error of the program that failed, its message included.
  returned: failed
  type: str
  sample: 'velmortev: manager "/mnt/velmor": No such device or address'
'''

import errno
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    device_number, fail_front, folded, front_json, listing, nodes_of, run_front)


def run_program(module, name, args, **extra):
    # The plumbing program's refusal is handed on in its own words.
    cmd = [module.get_bin_path(name, required=True)] + list(args)
    if not module.check_mode:
        rc, out, err = module.run_command(cmd)
        if rc != 0:
            fail_front(module, cmd, rc, out, err, **extra)
    return cmd


# What velmortev show ends with for a label that no device carries.
NO_CARRIER = -errno.ENOENT & 0xff


def block_device_name(number):
    # /dev/NAME of the block device MAJOR:MINOR as sysfs knows it, or None.
    try:
        return '/dev/' + os.path.basename(os.readlink('/sys/dev/block/' + number))
    except OSError:
        return None


def mismatch(path, existing, device, wanted):
    # The refusal of a node that stands for another device.
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
    manager, device, state, label = (module.params[k] for k in ('manager', 'device', 'state', 'label'))
    nodes = nodes_of(listing(module, [manager]), manager)
    # The front end refuses what is no label; a label that no device
    # carries may still name a node.
    cmd, rc, out, err = run_front(module, ['show', label, '-o', 'json'], [manager])
    if rc not in (0, NO_CARRIER):
        fail_front(module, cmd, rc, out, err)
    name = folded(label)
    path = os.path.join(manager, 'disks', name)
    existing = (nodes[name] or '') if name in nodes else None
    result = dict(changed=False, node=path, device_number=existing or None)
    if state == 'absent':
        if existing is None:
            module.exit_json(**result)
        cmd = run_program(module, 'velmortev-clean-disk', ['-l', manager, label], **result)
        result.update(changed=True, cmd=cmd, device_number=None)
        module.exit_json(**result)

    front_json(module, ['show', device], [manager], **result)
    wanted = device_number(device)
    if existing == wanted:
        module.exit_json(**result)
    if existing is not None:
        if not module.params['force']:
            module.fail_json(msg=mismatch(path, existing, device, wanted), **result)
        result['replaced'] = existing or None
        run_program(module, 'velmortev-clean-disk', ['-l', manager, label], **result)
    cmd = run_program(module, 'velmortev-instantiate-disk', ['-l', manager, device, label], **result)
    result.update(changed=True, cmd=cmd,
                  device_number=wanted if module.check_mode else nodes_of(listing(module, [manager]), manager).get(name))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
