#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Brings the disk nodes of a manager filesystem in line with the labelled
# disks of the host through one pass of the front end, velmortev scan.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: scan
short_description: Bring the disk nodes of a manager filesystem up to date with a pass
description:
  - Runs C(velmortev -m) I(manager) C(scan), the kit's front end installed on
    the managed host, that is one pass of C(tevscan) with the scan order and the
    exclude patterns of the front end's settings (C(SCAN_ORDER),
    C(SCAN_EXCLUDE) in C(/etc/velmortev)), the same patterns as the passes
    at boot and on device events. It rereads the partition tables of the
    whole disks, removes the nodes of I(manager)/disks/ that the driver's
    tool C(tevtool) no longer reports as valid, and creates a node for every
    partition marked with a label.
  - The nodes before and after come from the front end's inventory
    (C(velmortev list -o json)); the task is changed when a node was created
    or removed.
  - A failed pass ends the task with its message and exit status, as does a
    refusal of the front end (a path that is no manager, named); messages of
    a pass that succeeded become warnings.
  - Without C(tevtool) on C(PATH) (or in the sbin directories) the task fails
    before anything runs, naming it, since the pass would report every node as
    one it cleans and change nothing.
author: velmortev developers (@velmortev)
options:
  manager:
    description: The mount point of the manager filesystem.
    type: path
    required: true
  check_labels:
    description:
      - In check mode, the labels that earlier tasks of the run would have
        written, device path to label (null or empty for a cleared one);
        the front end's plan takes them instead of what the devices carry
        now (C(velmortev scan --dry-run --assume-label DEVICE=LABEL)). A
        device that is not on the host is passed over. Ignored outside check
        mode.
    type: dict
    default: {}
  check_nodes:
    description:
      - In check mode, the nodes that earlier tasks of the run would have
        created or removed on this host, as M(velmortev.disks.label) returns
        them (its C(nodes)), each with its C(action) (C(create-node) or
        C(remove-node)), C(manager), C(label) and C(device). Those of
        I(manager) are taken as done before the pass. Ignored outside check
        mode.
    type: list
    elements: dict
    default: []
attributes:
  check_mode:
    description:
      - The front end's plan of the pass (C(velmortev scan --dry-run -o
        json)), which asks C(tevtool) as the pass does and changes nothing;
        it fails where the pass would fail at its start, with the same
        message and status.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host, and C(tevtool) along C(PATH).
  - The options I(scan_order) and I(exclude) of earlier releases are gone;
    the patterns are the front end's settings, so that every pass of the
    host agrees. The playbook C(velmortev.disks.cluster) writes them.
seealso:
  - module: velmortev.disks.label
  - module: velmortev.disks.disk_info
'''

EXAMPLES = r'''
- name: Create the disk nodes on every node of the cluster
  velmortev.disks.scan:
    manager: /mnt/velmor

- name: In check mode, plan with the label that an earlier task would write
  velmortev.disks.scan:
    manager: /mnt/velmor
    check_labels: {/dev/sdb1: DATA1}
'''

RETURN = r'''
created:
  description: The nodes that are new or stand for another device after the pass (in check mode, would).
  returned: always
  type: list
  elements: str
  sample: [DATA1]
removed:
  description: The nodes that are gone or stood for another device before the pass (in check mode, would).
  returned: always
  type: list
  elements: str
  sample: [OLD]
nodes:
  description: The entries of I(manager)/disks/ afterwards (in check mode, before), name to MAJOR:MINOR (null for an entry that is no block node).
  returned: always
  type: dict
  sample: {DATA1: '8:17'}
plan:
  description: In check mode, the front end's plan, one line per step.
  returned: in check mode
  type: list
  elements: str
  sample: ['Would remove node /mnt/velmor/disks/OLD', 'Would create node /mnt/velmor/disks/DATA1 for /dev/sdb1']
stdout_lines:
  description: What the pass printed on standard output.
  returned: when the pass ran
  type: list
  elements: str
  sample: ['Cleaning disk "OLD"', 'Instantating disk "DATA1"']
cmd:
  description: The front end's command that ran.
  returned: always
  type: list
  elements: str
  sample: [/usr/sbin/velmortev, -m, /mnt/velmor, scan]
rc:
  description: Exit status of the pass, as the shell sees it.
  returned: when the pass ran
  type: int
  sample: 0
stderr:
  description: Standard error of the pass.
  returned: when the pass ran
  type: str
  sample: 'Error opening manager: No such device or address'
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    changes, device_number, fail_front, front_json, listing, nodes_of, run_front, step_texts)


def assumptions(check_labels):
    args = []
    for device, label in sorted(check_labels.items()):
        args += ['--assume-label', '%s=%s' % (device, label or '')]
    return args


def with_earlier_nodes(before, manager, steps):
    # The nodes as earlier tasks of the run would have left them.
    nodes = dict(before)
    for step in steps:
        if step.get('manager') != manager:
            continue
        if step.get('action') == 'remove-node':
            nodes.pop(step.get('label'), None)
        elif step.get('action') == 'create-node':
            nodes[step.get('label')] = device_number(step.get('device', ''))
    return nodes


def planned_nodes(doc, before):
    # The nodes once the front end's plan is carried out: its removals, then
    # its creations (a node that is there already stays as it is, as the
    # pass leaves it).
    after = dict(before)
    for step in doc['steps']:
        if step['action'] == 'remove-node':
            after.pop(step['label'], None)
    for step in doc['steps']:
        if step['action'] == 'create-node':
            after.setdefault(step['label'], device_number(step['device']))
    return after


def main():
    module = AnsibleModule(
        argument_spec=dict(
            manager=dict(type='path', required=True),
            check_labels=dict(type='dict', default={}),
            check_nodes=dict(type='list', elements='dict', default=[]),
        ),
        supports_check_mode=True,
    )
    manager = module.params['manager']
    # tevscan runs tevtool along PATH and, without it, removes nothing and
    # creates nothing while it reports every node as one it cleans.
    module.get_bin_path('tevtool', required=True)
    before = nodes_of(listing(module, [manager]), manager)
    if module.check_mode:
        args = ['scan', '--dry-run'] + assumptions(module.params['check_labels'])
        doc = front_json(module, args, [manager])[1]
        before = with_earlier_nodes(before, manager, module.params['check_nodes'])
        created, removed = changes(before, planned_nodes(doc, before))
        module.exit_json(changed=bool(created or removed), created=created, removed=removed,
                         nodes=before, plan=step_texts(doc),
                         cmd=[module.get_bin_path('velmortev', required=True), '-m', manager, 'scan'])

    cmd, rc, out, err = run_front(module, ['scan'], [manager])
    after = nodes_of(listing(module, [manager]), manager) if rc == 0 else before
    created, removed = changes(before, after)
    result = dict(changed=bool(created or removed), created=created, removed=removed,
                  nodes=after, cmd=cmd, rc=rc, stdout_lines=out.splitlines(), stderr=err)
    if rc != 0:
        fail_front(module, cmd, rc, out, err, **dict(
            (k, v) for k, v in result.items() if k not in ('cmd', 'rc', 'stderr')))
    for line in err.splitlines():
        module.warn(line)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
