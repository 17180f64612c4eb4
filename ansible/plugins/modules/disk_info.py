#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Reports the front end's inventory of a host (its labelled disks and the
# disk nodes of its managers) and the findings of its health check.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: disk_info
short_description: Report the labelled disks, their nodes and the health check
description:
  - Returns the inventory of the kit's front end C(velmortev), installed on
    the managed host, as it gives it (C(velmortev list -o json)), every
    labelled device with its label, size, WWID or serial number, multipath
    map and paths, signatures and nodes on each manager, the stray nodes and
    the devices that the exclude patterns leave out.
  - Returns the front end's health check as well (C(velmortev check -o
    json)), with its status 0 (OK) to 3 (UNKNOWN); each finding is also
    given as a warning.
  - With I(manager), works on that manager filesystem (C(velmortev -m));
    without it, on those of the front end's settings or the mounted ones.
  - A refusal of the front end (a path that is no manager, named; no
    manager mounted) ends the task with its message and exit status.
  - Changes nothing.
author: velmortev developers (@velmortev)
options:
  manager:
    description: The mount point of the manager filesystem.
    type: path
attributes:
  check_mode:
    description: Runs as usual; it reads only.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host to read the devices.
  - The scan order and exclude patterns are the front end's settings
    (C(SCAN_ORDER), C(SCAN_EXCLUDE) in C(/etc/velmortev)).
seealso:
  - module: velmortev.disks.scan
'''

EXAMPLES = r'''
- name: Report the disks of every node
  velmortev.disks.disk_info:
    manager: /mnt/velmor
  register: disks

- name: Show the labels and the WWIDs they stand for
  ansible.builtin.debug:
    msg: "{{ disks.inventory.devices | items2dict(key_name='label', value_name='wwid') }}"

- name: Fail on a CRITICAL finding
  ansible.builtin.assert:
    that: disks.check_status < 2
    fail_msg: "{{ disks.check.summary }}"
'''

RETURN = r'''
inventory:
  description:
    - The document of C(velmortev list -o json) as the front end gives it
      (see C(man velmortev), JSON OUTPUT).
  returned: always
  type: dict
  contains:
    version:
      description: The version of the document's format.
      type: dict
      sample: {major: 1, minor: 0}
    devices:
      description:
        - One per labelled device, a multipath map once, with C(device), C(size),
          C(labelled), C(duplicates), C(label), C(label_hex), C(wwid),
          C(serial), C(multipath) (C(map), C(name), C(paths)), C(signatures)
          and C(nodes) (C(manager), C(present), C(this_device),
          C(stands_for)).
      type: list
      elements: dict
    stray_nodes:
      description: The nodes that stand for no labelled device of their name (C(manager), C(name), C(stands_for)).
      type: list
      elements: dict
    excluded:
      description: The devices that the exclude patterns leave out.
      type: list
      elements: str
check:
  description:
    - The document of C(velmortev check -o json), with C(status), C(exit_status),
      C(summary), C(disks), C(findings) (C(id), C(severity), C(text),
      C(devices), C(paths), C(labels)) and C(not_looked_at).
  returned: always
  type: dict
  sample: {status: OK, exit_status: 0, summary: '1 labelled disk, no findings', findings: []}
check_status:
  description: What C(velmortev check) ended with, 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
  returned: always
  type: int
  sample: 0
nodes:
  description: The entries of I(manager)/disks/ that the inventory names, name to MAJOR:MINOR (null for an entry that is no block node).
  returned: when manager is given
  type: dict
  sample: {DATA1: '8:17'}
problems:
  description: The findings of the check, one line each as C(velmortev check) prints them.
  returned: always
  type: list
  elements: str
  sample: ['CRITICAL stale-node: node /mnt/velmor/disks/OLD stands for 8:48, which carries no label']
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    front_json, listing, nodes_of)

# check ends with the status of its findings; anything else is a refusal.
CHECK_STATUSES = (0, 1, 2, 3)


def main():
    module = AnsibleModule(
        argument_spec=dict(manager=dict(type='path')),
        supports_check_mode=True,
    )
    manager = module.params['manager']
    managers = [manager] if manager else []
    inventory = listing(module, managers)
    status, check = front_json(module, ['check'], managers, accept=CHECK_STATUSES)
    problems = ['%s %s: %s' % (f['severity'], f['id'], f['text']) for f in check['findings']]
    result = dict(changed=False, inventory=inventory, check=check, check_status=status,
                  problems=problems)
    if manager:
        result['nodes'] = nodes_of(inventory, manager)
    for problem in problems:
        module.warn(problem)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
