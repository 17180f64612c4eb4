#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes, replaces and clears the label of a disk through the kit's front
# end: velmortev create and velmortev delete.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: label
short_description: Write, replace or clear the label of a disk
description:
  - Asks the kit's front end C(velmortev), installed on the managed host
    (looked up along C(PATH) and the sbin directories), what I(device)
    carries (C(velmortev show -o json)), and writes the label with
    C(velmortev create) or clears it with C(velmortev delete --device). The
    front end makes or removes the label's nodes on the managers as it
    writes, saves every block it overwrites first, and is told C(--yes).
  - A device that carries the wanted label already is left alone. Every
    other case is the front end's to judge, with its message and exit status
    (239 for a label already there without I(replace), for a foreign
    signature without I(wipe_signatures) and for a label that another device
    carries; 234 for an invalid label; 240 for a mounted or held device).
  - Check mode runs the same verb with C(--dry-run -o json); it fails where
    the run would, and returns the front end's plan.
  - A cleared label counts as no label.
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
        (or with I(replace)).
    type: str
  state:
    description:
      - C(present) writes the label, C(absent) clears a labelled device.
    type: str
    choices: [present, absent]
    default: present
  manager:
    description:
      - The mount points of the manager filesystems whose nodes follow the
        label (C(velmortev -m)). Without it the front end takes those of its
        settings (C(MANAGERS)), else every mounted manager.
    type: list
    elements: path
    default: []
  replace:
    description:
      - Replace a different label of the kit (C(velmortev create --replace)),
        or with I(state=absent) clear whatever label the device carries.
    type: bool
    default: false
    aliases: [force]
  wipe_signatures:
    description:
      - Erase the foreign signatures found on the device (a filesystem, a
        RAID or LVM member, a partition table), after their backup, instead
        of refusing it (C(velmortev create --wipe-signatures)).
    type: bool
    default: false
    aliases: [zero]
attributes:
  check_mode:
    description:
      - The front end's plan (C(--dry-run)); writes nothing. Fails where the
        real run would fail, with the same message and status.
    support: full
  diff_mode:
    description: The device's label as C(LABEL:DEVICE) before and after.
    support: full
notes:
  - Needs root on the managed host, as the kit does.
  - I(force) is the old name of I(replace). I(zero) is the old name of
    I(wipe_signatures); the front end erases the signatures it finds, after
    their backup, instead of zeroing the device's ends.
seealso:
  - module: velmortev.disks.scan
  - module: velmortev.disks.disk_info
'''

EXAMPLES = r'''
- name: Label the shared disk once for the whole cluster
  velmortev.disks.label:
    device: /dev/sdb1
    label: DATA1
    manager: [/mnt/velmor]
  run_once: true

- name: Replace whatever label the disk carries, erasing a filesystem on it
  velmortev.disks.label:
    device: /dev/sdb1
    label: DATA2
    replace: true
    wipe_signatures: true

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
steps:
  description:
    - The front end's steps, as its plain output prints them (in check mode,
      its plan); when it failed in a step, the steps done before.
  returned: changed, or failed in a step
  type: list
  elements: str
  sample: ['Saved bytes 0-511 of /dev/sdb1 to /var/lib/velmortev/backups/...', 'Labelled /dev/sdb1 DATA1',
           'Created node /mnt/velmor/disks/DATA1 for /dev/sdb1']
nodes:
  description:
    - The steps of the front end that create or remove a node (in check
      mode, would), each with its C(action) (C(create-node) or
      C(remove-node)), C(manager), C(label) and C(device); for the option
      I(check_nodes) of M(velmortev.disks.scan).
  returned: changed
  type: list
  elements: dict
  sample: [{action: create-node, manager: /mnt/velmor, label: DATA1, device: /dev/sdb1}]
cmd:
  description: The front end's command that ran (in check mode, with C(--dry-run)).
  returned: changed or failed
  type: list
  elements: str
  sample: [/usr/sbin/velmortev, -m, /mnt/velmor, create, -y, /dev/sdb1, DATA1, -o, json]
rc:
  description: The front end's exit status, as the shell sees it (239 for a label already there).
  returned: failed
  type: int
  sample: 239
stdout:
  description: Standard output of the front end when it failed.
  returned: failed
  type: str
stderr:
  description: Standard error of the front end, its message included.
  returned: failed
  type: str
  sample: 'velmortev: Device "/dev/sdb1" already carries the label "DATA1" (--replace replaces it)'
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.kit import (
    fail_front, folded, front_json, parse_document, run_front, step_texts)


def carried(module, device, managers):
    """(label, cleared) of the device as the front end shows it; label is
    None for none and for a cleared one."""
    row = front_json(module, ['show', device], managers)[1]['devices'][0]
    if not row['labelled']:
        return None, False
    return row['label'] or None, not row['label']


def verb_for(params, current):
    """The front end's verb and operands that bring the device to the wanted
    state, or None when it is there already."""
    device = params['device']
    if params['state'] == 'absent':
        if current is None:
            return None
        guard = current if params['label'] is None or params['replace'] else params['label']
        return ['delete', '-y', '--device', device, guard]
    if current is not None and current == folded(params['label']):
        return None
    return (['create', '-y'] + (['--replace'] if params['replace'] else [])
            + (['--wipe-signatures'] if params['wipe_signatures'] else [])
            + [device, params['label']])


def written_label(doc):
    """The label that the plan or the run writes, as the front end stores
    it; None when it clears."""
    for step in doc['steps']:
        if step['action'] == 'write-label':
            return step['label']
    return None


def node_steps(doc):
    """The steps that create or remove a node, for a scan planned after them."""
    return [dict((k, step[k]) for k in ('action', 'manager', 'label', 'device'))
            for step in doc['steps'] if step['action'] in ('create-node', 'remove-node')]


def label_line(label, cleared, device):
    """The device's label as velmortev-read-label -r prints it."""
    if label is not None:
        return '%s:%s\n' % (label, device)
    return ':%s\n' % device if cleared else ''


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type='path', required=True),
            label=dict(type='str'),
            state=dict(type='str', choices=['present', 'absent'], default='present'),
            manager=dict(type='list', elements='path', default=[]),
            replace=dict(type='bool', default=False, aliases=['force']),
            wipe_signatures=dict(type='bool', default=False, aliases=['zero']),
        ),
        required_if=[('state', 'present', ['label'])],
        supports_check_mode=True,
    )
    device, managers = module.params['device'], module.params['manager']
    label, cleared = carried(module, device, managers)
    result = dict(changed=False, previous_label=label, previous_cleared=cleared, label=label)
    args = verb_for(module.params, label)
    if args is None:
        module.exit_json(**result)

    args += ['--dry-run', '-o', 'json'] if module.check_mode else ['-o', 'json']
    cmd, rc, out, err = run_front(module, args, managers)
    doc = parse_document(out)
    if rc != 0:
        if doc is not None:
            result['steps'] = step_texts(doc)
        fail_front(module, cmd, rc, out, err, **result)
    after = written_label(doc)
    result.update(changed=True, cmd=cmd, steps=step_texts(doc), nodes=node_steps(doc), label=after)
    if module._diff:
        result['diff'] = dict(before=label_line(label, cleared, device),
                              after=label_line(after, after is None, device),
                              before_header='%s (label)' % device,
                              after_header='%s (label)' % device)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
