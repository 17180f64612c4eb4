#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Brings the disk nodes of a manager filesystem in line with the labelled
# disks of the host through one run of tevscan.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: scan
short_description: Bring the disk nodes of a manager filesystem up to date with tevscan
description:
  - Runs C(tevscan) of the velmortev kit installed on the managed host. It
    rereads the partition tables of the whole disks, removes the nodes of
    I(manager)/disks/ that the driver's tool C(tevtool) no longer reports as
    valid, and creates a node for every partition marked with a label.
  - C(tevscan) announces a node it keeps like one it creates, so the module
    compares I(manager)/disks/ before and after the run and reports the nodes
    created and removed; the task is changed when there are any.
  - A failed run ends the task with the program's message and exit status;
    messages of a run that succeeded become warnings.
  - Without C(tevtool) on C(PATH) (or in the sbin directories) the task fails
    before anything runs, naming it.
author: velmortev developers (@velmortev)
options:
  manager:
    description: The mount point of the manager filesystem.
    type: path
    required: true
  scan_order:
    description:
      - Scan-order patterns (C(tevscan -s)), plain case-sensitive prefixes of
        partition names; the partitions of the first come first.
    type: list
    elements: str
    default: []
  exclude:
    description: Exclude patterns (C(tevscan -x)); matching partitions are left alone.
    type: list
    elements: str
    default: []
  check_labels:
    description:
      - In check mode, the labels that earlier tasks of the run would have
        written, device path to label (null for a cleared one), taken
        instead of what the devices carry now; ignored outside check mode.
    type: dict
    default: {}
attributes:
  check_mode:
    description:
      - Runs nothing that changes the host, and fails where the real run
        would fail at its start (no C(tevtool), a manager of another type),
        with the same message and status. The nodes to create and remove are
        predicted from the labels that C(velmortev-read-label) reads on the
        partitions that C(velmortev-scan-partitions) lists; a node whose
        device is not among them is predicted to stay.
    support: full
  diff_mode:
    description: Not supported.
    support: none
notes:
  - Needs root on the managed host, and C(tevtool) along C(PATH).
seealso:
  - module: velmortev.disks.label
  - module: velmortev.disks.disk_info
'''

EXAMPLES = r'''
- name: Create the disk nodes on every node of the cluster, sd disks first, no RAM disks
  velmortev.disks.scan:
    manager: /mnt/velmor
    scan_order: [sd]
    exclude: [ram]
'''

RETURN = r'''
created:
  description: The nodes that are new or stand for another device after the run.
  returned: always
  type: list
  elements: str
  sample: [DATA1]
removed:
  description: The nodes that are gone or stood for another device before the run.
  returned: always
  type: list
  elements: str
  sample: [OLD]
nodes:
  description: The entries of I(manager)/disks/ afterwards (in check mode, before), name to MAJOR:MINOR (null for an entry that is no block node).
  returned: always
  type: dict
  sample: {DATA1: '8:17'}
stdout_lines:
  description: What C(tevscan) printed on standard output.
  returned: when tevscan ran
  type: list
  elements: str
  sample: ['Cleaning disk "OLD"', 'Instantating disk "DATA1"']
cmd:
  description: The command that ran (in check mode, would run).
  returned: always
  type: list
  elements: str
  sample: [/usr/sbin/tevscan, -l, /mnt/velmor, -s, sd, -x, ram]
rc:
  description: Exit status of C(tevscan), as the shell sees it.
  returned: when tevscan ran
  type: int
  sample: 0
stderr:
  description: Standard error of C(tevscan).
  returned: when tevscan ran
  type: str
  sample: 'Error opening manager: No such device or address'
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    block_device_number, fail_program, fold_label, list_nodes, manager_errno, read_label, run_program,
    scan_partitions, status_of)


def changes(before, after):
    """(created, removed): the names whose entry appeared or changed, and
    those whose entry went or changed."""
    created = sorted(n for n in after if n not in before or before[n] != after[n])
    removed = sorted(n for n in before if n not in after or after[n] != before[n])
    return created, removed


def assumed_labels(check_labels):
    """check_labels by device number, folded as the kit stores them."""
    assumed = {}
    for device, label in check_labels.items():
        try:
            assumed[block_device_number(device)] = label and fold_label(label)
        except OSError:
            pass  # no such device: nothing to predict from
    return assumed


def predict(module, nodes, partitions, assumed):
    """The nodes afterwards, predicted from the labels of the partitions (or
    those assumed, by device number): a node whose device carries another
    label or none goes, a label without a node gets one for its first
    partition in scan order. A device whose label cannot be read is left out
    of the prediction."""
    labelled = []
    for device in partitions:
        try:
            number = block_device_number(device)
        except OSError:
            continue
        if number in assumed:
            labelled.append((number, assumed[number]))
            continue
        info = read_label(module, device)
        if number and 'error' not in info:
            labelled.append((number, info['label']))
    label_of = {}
    for number, label in labelled:
        label_of.setdefault(number, label)
    after = dict((name, number) for name, number in nodes.items()
                 if number not in label_of or label_of[number] == name)
    for number, label in labelled:
        if label and label not in after:
            after[label] = number
    return after


def main():
    module = AnsibleModule(
        argument_spec=dict(
            manager=dict(type='path', required=True),
            scan_order=dict(type='list', elements='str', default=[]),
            exclude=dict(type='list', elements='str', default=[]),
            check_labels=dict(type='dict', default={}),
        ),
        supports_check_mode=True,
    )
    manager = module.params['manager']
    args = ['-l', manager]
    for pattern in module.params['scan_order']:
        args += ['-s', pattern]
    for pattern in module.params['exclude']:
        args += ['-x', pattern]
    # tevscan runs tevtool along PATH and, without it, removes nothing and
    # creates nothing while it reports every node as one it cleans.
    module.get_bin_path('tevtool', required=True)
    if module.check_mode:
        error = manager_errno(manager)
        if error:
            module.fail_json(msg='Error opening manager: %s' % os.strerror(error),
                             rc=status_of(error))
        before = list_nodes(module, manager)
        partitions = scan_partitions(module, module.params['scan_order'], module.params['exclude'])
        created, removed = changes(before, predict(module, before, partitions,
                                                   assumed_labels(module.params['check_labels'])))
        module.exit_json(changed=bool(created or removed), created=created, removed=removed,
                         nodes=before, cmd=[module.get_bin_path('tevscan', required=True)] + args)

    # A manager that cannot be listed is tevscan's to report, in its words.
    before = list_nodes(module, manager, required=False)
    cmd, rc, out, err = run_program(module, 'tevscan', args)
    after = list_nodes(module, manager, required=rc == 0)
    created, removed = changes(before or {}, after or {})
    result = dict(changed=bool(created or removed), created=created, removed=removed,
                  nodes=after, cmd=cmd, rc=rc, stdout_lines=out.splitlines(), stderr=err)
    if rc != 0:
        fail_program(module, cmd, rc, out, err, **dict(
            (k, v) for k, v in result.items() if k not in ('cmd', 'rc', 'stderr')))
    for line in err.splitlines():
        module.warn(line)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
