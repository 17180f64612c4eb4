# SPDX-License-Identifier: GPL-2.0-or-later
# -*- coding: utf-8 -*-
# The comparison of the hosts' inventories, case by case: each case gives
# every host's disk_info result and the findings, in the order and words of
# the failure's message.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

import pytest

from ansible_collections.velmortev.disks.plugins.module_utils.cluster import compare_hosts

W1, W2 = 'naa.5000c50000000001', 'naa.5000c50000000002'
STATUS = ['OK', 'WARNING', 'CRITICAL', 'UNKNOWN']


def disk(label, device, wwid=None, serial=None, paths=None):
    """One device of velmortev list -o json."""
    return dict(device=device, size=16777216, labelled=True, duplicates=[], label=label,
                wwid=wwid, serial=serial, signatures=[], nodes=[],
                multipath=dict(map=device, name='mpatha', paths=paths) if paths else None)


def critical(ident, text, devices, labels):
    return dict(id=ident, severity='CRITICAL', text=text, devices=devices, paths=[],
                labels=[dict(label=label) for label in labels])


def host(*devices, **health):
    """A host's disk_info result: its inventory, its check's findings
    (findings=...) and status (status=..., WARNING by default: the guests
    have no TEVLib)."""
    status = health.get('status', 1)
    return dict(changed=False, check_status=status,
                inventory=dict(version=dict(major=1, minor=0), devices=list(devices),
                               stray_nodes=[], excluded=[]),
                check=dict(version=dict(major=1, minor=0), status=STATUS[status], exit_status=status,
                           summary=health.get('summary', '1 labelled disk'), findings=[
                               dict(id='library-missing', severity='WARNING', text='TEVLib cannot be loaded',
                                    devices=[], paths=[], labels=[])] + health.get('findings', [])))


SHARED = [disk('DATA1', '/dev/sda1', W1), disk('DATA2', '/dev/sda2', W1)]
DUPLICATE = critical('duplicate-label', 'label DATA1 is on /dev/sda1 and /dev/sdb',
                     ['/dev/sda1', '/dev/sdb'], ['DATA1'])
CASES = [
    # name, results, [(id, hosts, text)], warnings
    ('consistent: two partitions of one LUN, named differently on each host, and a disk without label',
     dict(a=host(*SHARED), b=host(disk('DATA1', '/dev/sdc1', W1), disk('DATA2', '/dev/sdc2', W1),
                                  dict(disk('', '/dev/sdd', W2), labelled=False))),
     [], []),
    ('consistent by serial number where there is no WWID',
     dict(a=host(disk('DATA1', '/dev/vdb', serial='VLM1')), b=host(disk('DATA1', '/dev/vdc', serial='VLM1'))),
     [], []),
    ('a multipath map on one host, a plain path on the other',
     dict(a=host(disk('DATA1', '/dev/dm-0', W1, paths=['/dev/sdb', '/dev/sdc'])),
          b=host(disk('DATA1', '/dev/sdb', W1))),
     [], []),
    ('one label, another LUN on each host',
     dict(a=host(disk('DATA1', '/dev/sda1', W1)), b=host(disk('DATA1', '/dev/sda1', W2))),
     [('label-on-other-lun', ['a', 'b'],
       'label DATA1 stands for different LUNs: WWID %s on a; WWID %s on b' % (W1, W2)),
      ('lun-not-seen', ['b'], 'WWID %s: labelled DATA1 on a, not seen on b' % W1),
      ('lun-not-seen', ['a'], 'WWID %s: labelled DATA1 on b, not seen on a' % W2)],
     []),
    ('one host with a second disk of the shared label',
     dict(a=host(disk('DATA1', '/dev/sda1', W1)),
          b=host(disk('DATA1', '/dev/sda1', W1), disk('DATA1', '/dev/sdb', W2), status=2, findings=[DUPLICATE])),
     [('host-critical', ['b'], 'b: velmortev check CRITICAL: duplicate-label: label DATA1 is on /dev/sda1 '
       'and /dev/sdb (WWIDs %s and %s)' % (W1, W2)),
      ('label-on-other-lun', ['a', 'b'],
       'label DATA1 stands for different LUNs: WWID %s on a; WWIDs %s and %s on b' % (W1, W1, W2)),
      ('lun-not-seen', ['a'], 'WWID %s: labelled DATA1 on b, not seen on a' % W2)],
     []),
    ('a LUN labelled on some hosts and absent on another',
     dict(a=host(*SHARED), b=host(*SHARED), c=host()),
     [('lun-not-seen', ['c'], 'WWID %s: labelled DATA1 and DATA2 on a and b, not seen on c' % W1)],
     []),
    ('a LUN with another label on one host',
     dict(a=host(disk('DATA3', '/dev/sda1', W1)), b=host(disk('DATA2', '/dev/sda1', W1)),
          c=host(disk('DATA2', '/dev/sdb1', W1))),
     [('lun-labelled-differently', ['a', 'b', 'c'],
       'WWID %s carries different labels: DATA3 on a; DATA2 on b and c' % W1)],
     []),
    ('a host whose check is CRITICAL, its warnings left to it',
     dict(a=host(*SHARED), b=host(*SHARED, status=2, findings=[critical(
         'stale-node', 'node /mnt/velmor/disks/DATA9 stands for 8:1 (/dev/sda1), which carries DATA1',
         ['/dev/sda1'], ['DATA9'])])),
     [('host-critical', ['b'], 'b: velmortev check CRITICAL: stale-node: node /mnt/velmor/disks/DATA9 '
       'stands for 8:1 (/dev/sda1), which carries DATA1 (WWID %s)' % W1)],
     []),
    ('a host whose check could take no inventory',
     dict(a=host(*SHARED), b=host(*SHARED), c=host(status=3, summary='no mounted manager was found')),
     [('host-unknown', ['c'], 'c: velmortev check UNKNOWN: no mounted manager was found'),
      ('lun-not-seen', ['c'], 'WWID %s: labelled DATA1 and DATA2 on a and b, not seen on c' % W1)],
     []),
    ('hosts that gave no result',
     dict(a=host(*SHARED), b=None, c=dict(failed=True, msg='velmortev: not found'),
          d=dict(unreachable=True, msg='Failed to connect to the host via ssh\r\n'), e=dict(changed=False)),
     [('host-not-compared', ['b'], 'b: no answer (unreachable, or a task before failed); '
       'its disks were not compared'),
      ('host-not-compared', ['c'], 'c: disk_info failed: velmortev: not found; its disks were not compared'),
      ('host-not-compared', ['d'], 'd: unreachable: Failed to connect to the host via ssh; '
       'its disks were not compared'),
      ('host-not-compared', ['e'], 'e: no inventory in its disk_info result; its disks were not compared')],
     []),
    # Loop devices and disks without identity (a virtio disk without a
    # serial) say nothing about which LUN they are: the administrator is
    # told, and the rest is compared without them.
    ('devices without WWID or serial number',
     dict(a=host(disk('DATA1', '/dev/loop2')), b=host(disk('DATA1', '/dev/loop2'))),
     [], ['a: label DATA1 on /dev/loop2: the device has no WWID or serial number, so it is left out of '
          'the comparison',
          'b: label DATA1 on /dev/loop2: the device has no WWID or serial number, so it is left out of '
          'the comparison']),
    ('a LUN on one host, a device without identity of its label on the other',
     dict(a=host(disk('DATA1', '/dev/sda1', W1)), b=host(disk('DATA1', '/dev/vdb'))),
     [('lun-not-seen', ['b'], 'WWID %s: labelled DATA1 on a, not seen on b' % W1)],
     ['b: label DATA1 on /dev/vdb: the device has no WWID or serial number, so it is left out of '
      'the comparison']),
]


@pytest.mark.parametrize('results, expected, warnings', [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_compare_hosts(results, expected, warnings):
    verdict = compare_hosts(results)
    assert [(f['id'], f['hosts'], f['text']) for f in verdict['findings']] == expected
    assert verdict['warnings'] == warnings


def test_findings_name_labels_and_luns():
    verdict = compare_hosts(CASES[4][1])
    assert [(f['labels'], f['luns']) for f in verdict['findings']] == [
        (['DATA1'], ['WWID ' + W1, 'WWID ' + W2]),
        (['DATA1'], ['WWID ' + W1, 'WWID ' + W2]),
        (['DATA1'], ['WWID ' + W2])]
    assert verdict['hosts'] == ['a', 'b']
    assert verdict['luns'] == {'WWID ' + W1: dict(a=['DATA1'], b=['DATA1']),
                               'WWID ' + W2: dict(a=[], b=['DATA1'])}
