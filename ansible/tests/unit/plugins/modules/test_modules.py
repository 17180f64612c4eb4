# SPDX-License-Identifier: GPL-2.0-or-later
# -*- coding: utf-8 -*-
# The modules' own logic on documents of the front end's JSON, and their
# refusals as the front end's real binary gives them: it must be on PATH
# (the build's sbin directory), with tevtool (the testbed's stand-in) beside
# it. Only refusals that come before any device is read are run here; the
# cluster tests run everything else on loop devices.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import json
import os
import shutil

import pytest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes
from ansible_collections.velmortev.disks.plugins.module_utils import kit
from ansible_collections.velmortev.disks.plugins.modules import disk_info, label, node, scan


class Ended(Exception):
    """How a module ended: exit_json or fail_json, with its result."""

    def __init__(self, failed, result):
        super(Ended, self).__init__(result)
        self.failed = failed
        self.result = result


def run_module(monkeypatch, module, args, check_mode=False):
    """Runs module's main with args; returns Ended."""
    args = dict(args, _ansible_check_mode=check_mode, _ansible_remote_tmp='/tmp',
                _ansible_keep_remote_files=False)
    monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))

    def exit_json(self, **result):
        raise Ended(False, result)

    def fail_json(self, **result):
        raise Ended(True, result)

    monkeypatch.setattr(basic.AnsibleModule, 'exit_json', exit_json)
    monkeypatch.setattr(basic.AnsibleModule, 'fail_json', fail_json)
    with pytest.raises(Ended) as ended:
        module.main()
    return ended.value


@pytest.fixture
def front_end(monkeypatch, tmp_path):
    """The build's front end, with settings of its own (none)."""
    assert shutil.which('velmortev'), 'the front end of the build is not on PATH'
    monkeypatch.setenv('VELMORTEV_CONFIG_DIR', str(tmp_path / 'etc'))
    return tmp_path


# An inventory of two managers: a node of this device, a node of another
# device, a node that is no block node and stray ones.
INVENTORY = {
    'version': {'major': 1, 'minor': 0},
    'devices': [
        {'device': '/dev/sdb1', 'label': 'DATA1', 'labelled': True, 'nodes': [
            {'manager': '/m1', 'present': True, 'this_device': True, 'stands_for': '8:17'},
            {'manager': '/m2', 'present': False, 'this_device': False, 'stands_for': None}]},
        {'device': '/dev/sdc1', 'label': 'DATA2', 'labelled': True, 'nodes': [
            {'manager': '/m1', 'present': True, 'this_device': False, 'stands_for': '0:0'},
            {'manager': '/m2', 'present': True, 'this_device': False, 'stands_for': '8:49'}]},
    ],
    'stray_nodes': [{'manager': '/m1', 'name': 'OLD', 'stands_for': '8:48'},
                    {'manager': '/m2', 'name': 'GONE', 'stands_for': None}],
    'excluded': [],
}


@pytest.mark.parametrize('manager, nodes', [
    ('/m1', {'DATA1': '8:17', 'DATA2': None, 'OLD': '8:48'}),
    ('/m2', {'DATA2': '8:49', 'GONE': None}),
    ('/m3', {}),
])
def test_nodes_of_a_manager(manager, nodes):
    assert kit.nodes_of(INVENTORY, manager) == nodes


def plan(*steps):
    return {'steps': [dict(zip(('action', 'label', 'device'), step)) for step in steps]}


NUMBERS = {'/dev/sdb1': '8:17', '/dev/sdc1': '8:33'}


# A pass's plan carried out on the nodes: a node it announces but has
# already stays as it is; earlier tasks' nodes of this manager count as done.
@pytest.mark.parametrize('before, earlier, doc, created, removed', [
    ({}, [], plan(('create-node', 'DATA1', '/dev/sdb1')), ['DATA1'], []),
    ({'DATA1': '8:17'}, [], plan(('create-node', 'DATA1', '/dev/sdb1')), [], []),
    ({'DATA1': '8:17', 'OLD': None}, [],
     plan(('remove-node', 'DATA1', None), ('remove-node', 'OLD', None),
          ('create-node', 'DATA2', '/dev/sdb1')),
     ['DATA2'], ['DATA1', 'OLD']),
    ({'DATA1': '8:33'}, [], plan(('remove-node', 'DATA1', None), ('create-node', 'DATA1', '/dev/sdb1')),
     ['DATA1'], ['DATA1']),
    ({'DATA1': '8:17'},
     [{'action': 'remove-node', 'manager': '/m1', 'label': 'DATA1', 'device': '/dev/sdb1'},
      {'action': 'create-node', 'manager': '/m1', 'label': 'DATA2', 'device': '/dev/sdb1'},
      {'action': 'create-node', 'manager': '/m2', 'label': 'DATA3', 'device': '/dev/sdc1'}],
     plan(('remove-node', 'DATA1', None), ('create-node', 'DATA2', '/dev/sdb1')), [], []),
])
def test_planned_changes(monkeypatch, before, earlier, doc, created, removed):
    monkeypatch.setattr(scan, 'device_number', NUMBERS.get)
    start = scan.with_earlier_nodes(before, '/m1', earlier)
    assert kit.changes(start, scan.planned_nodes(doc, start)) == (created, removed)


def test_assumed_labels():
    assert scan.assumptions({'/dev/sdc1': None, '/dev/sdb1': 'DATA1'}) == [
        '--assume-label', '/dev/sdb1=DATA1', '--assume-label', '/dev/sdc1=']


def params(**given):
    base = dict(device='/dev/sdb1', label='data1', state='present', replace=False, wipe_signatures=False)
    base.update(given)
    return base


# The front end's verb for each wanted state; None when there is nothing to do.
@pytest.mark.parametrize('given, current, verb', [
    (params(), None, ['create', '-y', '/dev/sdb1', 'data1']),
    (params(), 'DATA1', None),
    (params(label='DATA2', replace=True, wipe_signatures=True), 'DATA1',
     ['create', '-y', '--replace', '--wipe-signatures', '/dev/sdb1', 'DATA2']),
    (params(label='1bad'), None, ['create', '-y', '/dev/sdb1', '1bad']),
    (params(state='absent', label=None), None, None),
    (params(state='absent', label=None), 'DATA1', ['delete', '-y', '--device', '/dev/sdb1', 'DATA1']),
    (params(state='absent', label='other'), 'DATA1', ['delete', '-y', '--device', '/dev/sdb1', 'other']),
    (params(state='absent', label='other', replace=True), 'DATA1',
     ['delete', '-y', '--device', '/dev/sdb1', 'DATA1']),
])
def test_label_verbs(given, current, verb):
    assert label.verb_for(given, current) == verb


def test_node_steps_of_a_plan():
    doc = {'steps': [
        {'action': 'save', 'device': '/dev/sdb1', 'done': False, 'text': 'Would save ...'},
        {'action': 'remove-node', 'device': '/dev/sdb1', 'manager': '/m1', 'label': 'DATA1', 'text': '...'},
        {'action': 'write-label', 'device': '/dev/sdb1', 'label': 'DATA2', 'text': '...'},
        {'action': 'create-node', 'device': '/dev/sdb1', 'manager': '/m1', 'label': 'DATA2', 'text': '...'}]}
    assert label.written_label(doc) == 'DATA2'
    assert label.node_steps(doc) == [
        {'action': 'remove-node', 'manager': '/m1', 'label': 'DATA1', 'device': '/dev/sdb1'},
        {'action': 'create-node', 'manager': '/m1', 'label': 'DATA2', 'device': '/dev/sdb1'}]


# Every module hands on the front end's refusal of a manager, naming its
# path, with its status, in check mode as for real.
@pytest.mark.parametrize('module, args', [
    (disk_info, {}),
    (scan, {}),
    (node, {'label': 'DATA1', 'device': '/dev/null'}),
    (label, {'device': '/dev/null', 'label': 'DATA1', 'manager': None}),
])
@pytest.mark.parametrize('check_mode', [True, False])
@pytest.mark.parametrize('where, rc, text', [
    ('missing', 254, 'No such file or directory'),
    ('plain', 250, 'No such device or address'),
])
def test_manager_refusals(monkeypatch, front_end, module, args, check_mode, where, rc, text):
    manager = str(front_end / where)
    if where == 'plain':
        os.mkdir(manager)
    args = dict(args, manager=[manager] if 'manager' in args else manager)
    ended = run_module(monkeypatch, module, args, check_mode)
    assert ended.failed
    assert ended.result['rc'] == rc
    assert ended.result['msg'] == 'velmortev: manager "%s": %s' % (manager, text)
    assert os.path.basename(ended.result['cmd'][0]) == 'velmortev'
