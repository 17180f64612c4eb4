#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: GPL-2.0-or-later
# Judges, once for the whole cluster, whether its hosts agree on their
# shared disks, from every host's disk_info result.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: cluster_check
short_description: Check that the hosts of a cluster agree on their shared disks
description:
  - "Compares the results of M(velmortev.disks.disk_info) of every host of a
    cluster, given all at once, and fails when they disagree; run it once,
    on the controller (C(delegate_to: localhost), C(run_once: true))."
  - A LUN is known by its WWID, else by its serial number, as
    C(velmortev list) shows them; the partitions of one LUN share it.
  - Fails when a label stands for different LUNs on different hosts (one
    host with a second disk of the same label included); when a LUN that some
    hosts list with a label is not listed by another host (C(velmortev list)
    lists labelled devices only, so that host either does not see the LUN or
    sees it without its label, through a partition table it has not reread or
    an exclude pattern); when a LUN carries different labels on different
    hosts; when the C(velmortev check) of a host is CRITICAL or UNKNOWN (its
    critical findings in its own words, with the LUNs of the devices they
    name); and when a host gave no result. Every message names the hosts, the
    labels and the LUNs.
  - What a single host's front end judges (a label on two devices of one
    host, a stale node, ...) is not judged again here; it arrives as that
    host's check.
  - A labelled device with neither WWID nor serial number cannot be matched
    with the devices of other hosts; it is left out of the comparison with a
    warning naming the host, the label and the device.
  - Changes nothing.
author: velmortev developers (@velmortev)
options:
  results:
    description:
      - Host name to the registered result of M(velmortev.disks.disk_info) on
        that host (its C(inventory), C(check) and C(check_status)); null for
        a host that gave no result, which fails the check.
    type: dict
    required: true
attributes:
  check_mode:
    description: Runs as usual; it reads only.
    support: full
  diff_mode:
    description: Not supported.
    support: none
seealso:
  - module: velmortev.disks.disk_info
'''

EXAMPLES = r'''
- name: Read each host's disks
  velmortev.disks.disk_info:
  register: disks

- name: Check that the hosts agree
  velmortev.disks.cluster_check:
    # Every host of the play, those that failed or were unreachable as null.
    results: "{{ dict(ansible_play_hosts_all | zip(ansible_play_hosts_all
                 | map('extract', hostvars) | map(attribute='disks', default=none))) }}"
  delegate_to: localhost
  run_once: true
'''

RETURN = r'''
findings:
  description: What the hosts disagree on, and the hosts whose check is CRITICAL or UNKNOWN.
  returned: always
  type: list
  elements: dict
  contains:
    id:
      description: >-
        label-on-other-lun, lun-not-seen, lun-labelled-differently,
        host-critical, host-unknown or host-not-compared.
      type: str
      sample: lun-not-seen
    text:
      description: The finding in one sentence; the message of the failure numbers them.
      type: str
      sample: 'WWID naa.5000c50015ea71c2: labelled DATA1 on node1 and node2, not seen on node3'
    hosts:
      description: The hosts it is about.
      type: list
      elements: str
    labels:
      description: The labels it is about.
      type: list
      elements: str
    luns:
      description: The LUNs it is about, as C(WWID id) or C(serial id).
      type: list
      elements: str
hosts:
  description: The hosts whose results were compared.
  returned: always
  type: list
  elements: str
  sample: [node1, node2]
luns:
  description: Every LUN that carries a label on some host, to each compared host's labels on it (empty where the host does not list it).
  returned: always
  type: dict
  sample: {'WWID naa.5000c50015ea71c2': {node1: [DATA1], node2: [DATA1]}}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmortev.disks.plugins.module_utils.cluster import compare_hosts


def main():
    module = AnsibleModule(
        argument_spec=dict(results=dict(type='dict', required=True)),
        supports_check_mode=True,
    )
    verdict = compare_hosts(module.params['results'])
    for warning in verdict['warnings']:
        module.warn(warning)
    del verdict['warnings']
    if verdict['findings']:
        module.fail_json(msg='Cluster check failed: ' + ' '.join(
            '(%d) %s' % (n, f['text']) for n, f in enumerate(verdict['findings'], 1)), **verdict)
    module.exit_json(changed=False, **verdict)


if __name__ == '__main__':
    main()
