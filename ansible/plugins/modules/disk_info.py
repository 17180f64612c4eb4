#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Reports the labelled disks of a host and the disk nodes of its manager
# filesystem, and what does not fit between the two.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: disk_info
short_description: Report partitions, labels and disk nodes
description:
  - Lists the partitions in scan order with C(velmortev-scan-partitions) and
    reads the label of each with C(velmortev-read-label -r), both from the
    velmortev kit installed on the managed host; a cleared label is shown as
    such.
  - With I(manager), lists the nodes of I(manager)/disks/ with their device
    numbers.
  - Warns of a label found on two devices with different device numbers, and
    of a node whose device carries another label or none.
  - Changes nothing.
author: velmortev developers (@velmortev)
options:
  manager:
    description: The mount point of the manager filesystem; without it no nodes are listed.
    type: path
  scan_order:
    description: Scan-order patterns (C(velmortev-scan-partitions -o)).
    type: list
    elements: str
    default: []
  exclude:
    description: Exclude patterns (C(velmortev-scan-partitions -x)).
    type: list
    elements: str
    default: []
attributes:
  check_mode:
    description: Runs as usual; it reads only.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host to read the devices.
seealso:
  - module: velmortev.disks.scan
'''

EXAMPLES = r'''
- name: Report the disks of every node
  velmortev.disks.disk_info:
    manager: /mnt/velmor
  register: disks

- name: Show the labelled partitions
  ansible.builtin.debug:
    msg: "{{ disks.partitions | selectattr('label') | map(attribute='label') | list }}"
'''

RETURN = r'''
partitions:
  description: The partitions in scan order.
  returned: always
  type: list
  elements: dict
  contains:
    device:
      description: The device path.
      type: str
      sample: /dev/sdb1
    device_number:
      description: MAJOR:MINOR of the device; null when it cannot be examined.
      type: str
      sample: '8:17'
    label:
      description: The label; null for none and for a cleared label.
      type: str
      sample: DATA1
    cleared:
      description: Whether the device carries a cleared label.
      type: bool
      sample: false
    error:
      description: The message of C(velmortev-read-label) when it failed on the device.
      type: str
      returned: when the label could not be read
    rc:
      description: Its exit status then.
      type: int
      returned: when the label could not be read
nodes:
  description: The entries of I(manager)/disks/, name to MAJOR:MINOR (null for an entry that is no block node).
  returned: when manager is given
  type: dict
  sample: {DATA1: '8:17'}
problems:
  description: What does not fit, one sentence each; also given as warnings.
  returned: always
  type: list
  elements: str
  sample: ['Node "DATA1" (8:17): its device /dev/sdb1 carries no label']
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    block_device_number, list_nodes, read_label, scan_partitions)


def describe(partition):
    if partition['label']:
        return 'label "%s"' % partition['label']
    return 'a cleared label' if partition['cleared'] else 'no label'


def duplicate_labels(partitions):
    """A label on devices with different device numbers (one device may be
    listed under several paths)."""
    problems = []
    seen = {}
    for p in partitions:
        if p['label']:
            seen.setdefault(p['label'], []).append(p)
    for label, places in seen.items():
        numbers = []
        for p in places:
            if p['device_number'] not in numbers:
                numbers.append(p['device_number'])
        if len(numbers) > 1:
            problems.append('Label "%s" is on %s' % (label, ' and '.join(
                '%s (%s)' % (p['device'], p['device_number']) for p in places)))
    return problems


def mismatched_nodes(nodes, partitions):
    """A node whose device, among the partitions, carries another label or none."""
    problems = []
    for name, number in sorted(nodes.items()):
        device = next((p for p in partitions if number and p['device_number'] == number
                       and 'error' not in p), None)
        if device and device['label'] != name:
            problems.append('Node "%s" (%s): its device %s carries %s' % (
                name, number, device['device'], describe(device)))
    return problems


def main():
    module = AnsibleModule(
        argument_spec=dict(
            manager=dict(type='path'),
            scan_order=dict(type='list', elements='str', default=[]),
            exclude=dict(type='list', elements='str', default=[]),
        ),
        supports_check_mode=True,
    )
    partitions = []
    problems = []
    for device in scan_partitions(module, module.params['scan_order'], module.params['exclude']):
        info = read_label(module, device)
        info.pop('line', None)
        try:
            info['device_number'] = block_device_number(device)
        except OSError:
            info['device_number'] = None
        if 'error' in info:
            problems.append(info['error'])
        partitions.append(info)
    result = dict(changed=False, partitions=partitions)
    problems += duplicate_labels(partitions)
    if module.params['manager']:
        result['nodes'] = list_nodes(module, module.params['manager'])
        problems += mismatched_nodes(result['nodes'], partitions)
    for problem in problems:
        module.warn(problem)
    module.exit_json(problems=problems, **result)


if __name__ == '__main__':
    main()
