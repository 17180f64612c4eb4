# SPDX-License-Identifier: GPL-2.0-or-later
# -*- coding: utf-8 -*-
# Shared by the modules of this collection: asking the kit's front end,
# velmortev, installed on the managed host. Every rule of the kit (what a
# label may be, which device may be written, what a pass does) is the front
# end's: the modules ask it for facts and plans in JSON, run its verbs, and
# hand its refusals on with its own message and exit status.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import json
import os
import stat

FRONT_END = 'velmortev'


def front_command(module, args, managers=()):
    """The command line of the front end (looked up along PATH and the sbin
    directories) for args, working on the given managers (-m each); without
    managers the front end takes those of its settings or the mounted ones."""
    cmd = [module.get_bin_path(FRONT_END, required=True)]
    for manager in managers:
        cmd += ['-m', manager]
    return cmd + list(args)


def front_message(cmd, rc, out, err):
    """The front end's own words for a failure: its standard error, else its
    standard output, else the bare status."""
    return (err.rstrip('\n') or out.rstrip('\n')
            or '%s ended with status %d' % (os.path.basename(cmd[0]), rc))


def fail_front(module, cmd, rc, out, err, **extra):
    """Ends the module with the front end's message and exit status."""
    module.fail_json(msg=front_message(cmd, rc, out, err), rc=rc, cmd=cmd,
                     stdout=out, stderr=err, **extra)


def run_front(module, args, managers=()):
    """Runs the front end; returns (cmd, rc, stdout, stderr)."""
    cmd = front_command(module, args, managers)
    rc, out, err = module.run_command(cmd)
    return cmd, rc, out, err


def parse_document(out):
    """The JSON document on standard output, or None when there is none."""
    try:
        return json.loads(out)
    except ValueError:
        return None


def front_json(module, args, managers=(), accept=(0,), **extra):
    """Runs the front end with -o json and returns (rc, document); a status
    not in accept, or no document, ends the module with the front end's
    message and status."""
    cmd, rc, out, err = run_front(module, list(args) + ['-o', 'json'], managers)
    doc = parse_document(out) if rc in accept else None
    if doc is None:
        fail_front(module, cmd, rc, out, err, **extra)
    return rc, doc


def listing(module, managers=()):
    """The front end's inventory: the document of velmortev list -o json."""
    return front_json(module, ['list'], managers)[1]


def nodes_of(inventory, manager):
    """The entries of manager/disks/ that the inventory names, name to
    MAJOR:MINOR (null for an entry that is no block node): the nodes of the
    labelled devices and the stray ones."""
    nodes = {}
    for device in inventory['devices']:
        for node in device['nodes']:
            if node['manager'] == manager and node['present']:
                nodes[device['label']] = None if node['stands_for'] == '0:0' else node['stands_for']
    for stray in inventory['stray_nodes']:
        if stray['manager'] == manager:
            nodes[stray['name']] = stray['stands_for']
    return nodes


def changes(before, after):
    """(created, removed): the names whose entry appeared or changed, and
    those whose entry went or changed."""
    created = sorted(n for n in after if n not in before or before[n] != after[n])
    removed = sorted(n for n in before if n not in after or after[n] != before[n])
    return created, removed


def device_number(path):
    """MAJOR:MINOR of the block device at path (links followed), or None
    when it is none or cannot be looked at."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    if not stat.S_ISBLK(st.st_mode):
        return None
    return '%d:%d' % (os.major(st.st_rdev), os.minor(st.st_rdev))


def folded(label):
    """The label as the kit stores it, lower-case ASCII letters taken as
    upper case. Whether it is a label at all is the front end's to say."""
    return ''.join(c.upper() if 'a' <= c <= 'z' else c for c in label)


def step_texts(doc):
    """The lines that the front end's plain output prints for the steps of a
    plan or a run."""
    return [step['text'] for step in doc.get('steps', [])]
