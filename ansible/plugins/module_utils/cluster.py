# SPDX-License-Identifier: GPL-2.0-or-later
# -*- coding: utf-8 -*-
# Whether the hosts of a cluster agree on their shared disks, judged from
# what each host's velmortev reports: its inventory (velmortev list -o json)
# and its health (velmortev check -o json). Each host's own rules (a label
# on two devices, a stale node, ...) are its front end's and arrive as that
# host's check; what is judged here is only what no single host can see:
# whether the hosts' inventories tell the same story.

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

# The statuses of velmortev check, as its exit status, that leave a host's
# disks not to be trusted: CRITICAL, and UNKNOWN (no inventory was taken).
CRITICAL = 2
UNKNOWN = 3


def lun_of(device):
    """The LUN a device of an inventory belongs to, as the front end
    identifies it: its WWID, else its serial number; None for a device that
    has neither. Partitions of one LUN share its WWID."""
    if device.get('wwid'):
        return 'WWID %s' % device['wwid']
    if device.get('serial'):
        return 'serial %s' % device['serial']
    return None


def answer_of(result):
    """The inventory and health of one host's disk_info result, or None with
    the reason when the host gave none."""
    if result is None:
        return None, 'no answer (unreachable, or a task before failed)'
    if result.get('unreachable'):
        return None, 'unreachable: %s' % result.get('msg', 'no message').strip()
    if result.get('failed'):
        return None, 'disk_info failed: %s' % result.get('msg', 'no message').strip()
    if not isinstance(result.get('inventory'), dict) or not isinstance(result.get('check'), dict):
        return None, 'no inventory in its disk_info result'
    return result, None


def status_of(answer):
    check = answer['check']
    status = answer.get('check_status', check.get('exit_status'))
    return status, check.get('status', str(status))


def and_list(words):
    words = list(words)
    if len(words) < 2:
        return ''.join(words)
    return '%s and %s' % (', '.join(words[:-1]), words[-1])


def grouped(per_host):
    """Hosts grouped by the value they map to: [(value, [hosts])], in the
    order of the first host of each group."""
    groups = []
    for host in sorted(per_host):
        for value, hosts in groups:
            if value == per_host[host]:
                hosts.append(host)
                break
        else:
            groups.append((per_host[host], [host]))
    return groups


def finding(ident, text, hosts, labels=(), luns=()):
    return dict(id=ident, text=text, hosts=sorted(hosts), labels=sorted(labels), luns=sorted(luns))


def host_findings(host, answer):
    """A host whose own check is CRITICAL or UNKNOWN: each critical finding
    in the front end's words, with the LUNs of the devices it names."""
    status, name = status_of(answer)
    check = answer['check']
    if status == UNKNOWN:
        return [finding('host-unknown', '%s: velmortev check UNKNOWN: %s' % (host, check.get('summary', '')),
                        [host])]
    if status != CRITICAL:
        return []
    luns = {}
    for device in answer['inventory'].get('devices', []):
        lun = lun_of(device)
        for path in [device['device']] + list((device.get('multipath') or {}).get('paths', [])):
            if lun:
                luns[path] = lun
    out = []
    for item in check.get('findings', []):
        if item.get('severity') != name:
            continue
        named = sorted(set(luns[d] for d in item.get('devices', []) if d in luns))
        labels = [entry['label'] for entry in item.get('labels', []) if entry.get('label')]
        text = '%s: velmortev check %s: %s: %s' % (host, name, item.get('id'), item.get('text'))
        if named:
            text += ' (%s)' % luns_text(named)
        out.append(finding('host-critical', text, [host], labels, named))
    if not out:
        out.append(finding('host-critical', '%s: velmortev check %s: %s' % (host, name, check.get('summary')),
                           [host]))
    return out


def compare_hosts(results):
    """Compares the hosts' disk_info results (host name to result, None for
    a host that gave none). Returns a dict: findings (each with id, text,
    hosts, labels, luns), warnings, hosts (those compared) and luns (each
    LUN that carries a label somewhere: host to its labels there, an empty
    list where the host does not list the LUN)."""
    findings = []
    warnings = []
    answers = {}
    for host in sorted(results):
        answer, why = answer_of(results[host])
        if answer is None:
            findings.append(finding('host-not-compared', '%s: %s; its disks were not compared' % (host, why),
                                    [host]))
            continue
        answers[host] = answer
        findings += host_findings(host, answer)

    # Per host: label -> LUNs it stands for, and LUN -> labels it carries.
    label_luns = {}
    lun_labels = {}
    for host, answer in answers.items():
        for device in answer['inventory'].get('devices', []):
            if not device.get('labelled'):
                continue
            label, lun = device['label'], lun_of(device)
            if lun is None:
                warnings.append('%s: label %s on %s: the device has no WWID or serial number, '
                                'so it is left out of the comparison' % (host, label, device['device']))
                continue
            label_luns.setdefault(label, {}).setdefault(host, set()).add(lun)
            lun_labels.setdefault(lun, {}).setdefault(host, set()).add(label)

    for label in sorted(label_luns):
        groups = grouped(label_luns[label])
        if len(groups) > 1:
            findings.append(finding(
                'label-on-other-lun',
                'label %s stands for different LUNs: %s' % (label, places(groups, luns_text)),
                label_luns[label], [label], set().union(*label_luns[label].values())))

    luns = {}
    for lun in sorted(lun_labels):
        per_host = dict((host, lun_labels[lun].get(host, set())) for host in answers)
        luns[lun] = dict((host, sorted(labels)) for host, labels in per_host.items())
        seen = dict((host, labels) for host, labels in per_host.items() if labels)
        missing = sorted(set(per_host) - set(seen))
        every_label = set().union(*seen.values())
        groups = grouped(seen)
        if missing:
            findings.append(finding(
                'lun-not-seen', '%s: labelled %s, not seen on %s' % (
                    lun, places(groups, and_list), and_list(missing)),
                missing, every_label, [lun]))
        if len(groups) > 1:
            findings.append(finding(
                'lun-labelled-differently',
                '%s carries different labels: %s' % (lun, places(groups, and_list)),
                seen, every_label, [lun]))
    return dict(findings=findings, warnings=warnings, hosts=sorted(answers), luns=luns)


def luns_text(luns):
    """'WWID a', 'WWIDs a and b'; LUNs of mixed kinds each with its kind."""
    kinds = set(lun.split(' ', 1)[0] for lun in luns)
    if len(luns) < 2 or len(kinds) > 1:
        return and_list(luns)
    return '%ss %s' % (kinds.pop(), and_list(lun.split(' ', 1)[1] for lun in luns))


def places(groups, describe):
    """'A on h1 and h2; B on h3' for groups of hosts with what they see."""
    return '; '.join('%s on %s' % (describe(sorted(value)), and_list(hosts)) for value, hosts in groups)
