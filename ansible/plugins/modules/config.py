#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: config
short_description: Nodes' configurations, written only where they differ
description:
  - With I(nodes) and I(set), one C(tarvo config set NODES --set KEY=VALUE...) on the site machine changes the named
    fields on every node named, each keeping every other value, with one search however many nodes. A node that
    holds the values already is not written (C(changed) false for it), so a second run changes nothing.
  - With I(node) and I(src) or I(config), reads the node's configuration (C(tarvo config get)), merges the wanted
    values into it and compares field by field. Only when a field differs is the whole configuration written, with
    one C(tarvo config set).
  - In check mode the node is read, and the write is only planned (C(tarvo config set --dry-run)), which checks the
    values as a real write would; nothing is sent to the node.
  - Values are checked by C(tarvo), with the texts of the configurator's window (ranges, label length).
version_added: 1.0.0
author: Tarvo configurator maintainers
extends_documentation_fragment:
  - tarvo.nodes.tarvo
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
    details: One line per field, C(ports[1].universe) being the second port's.
options:
  node:
    description:
      - The node, by address, serial or label (a label must be unique on the site).
      - A new C(network.ip) moves the node; name it by serial so that later runs still find it.
    type: str
  nodes:
    description:
      - The nodes I(set) changes, by address, serial, label or a pattern of labels and serials (C(Truss*)), or
        C(all) for every node that answers.
      - A sequence (a value ending in C(+)) counts in the order given; for C(all) and patterns by label in natural
        order, then serial.
    type: list
    elements: str
  set:
    description:
      - The fields to change, each named as the configuration file and C(tarvo)'s plan name them (C(label),
        C(network.ip), C(network.mask), C(network.gateway), C(ports[N].universe), C(break), C(mab), C(mbf),
        C(wait), C(channels), C(merge); N from 0 to 3, or C(*) for all four ports).
      - A number or an address ending in C(+) counts up from node to node (C(ports[*].universe=1+)).
      - No write gives two nodes one address. One onto an address another node holds fails the task, in check
        mode too, and nothing is sent.
    type: dict
  src:
    description:
      - A C(tarvo) configuration file on the site machine, as C(tarvo config get -o) writes it.
      - The file's C(serial) is informational; its network settings are written too.
      - For a file on the controller, give its content as I(config), read with the C(ansible.builtin.file) lookup
        and the C(from_json) filter (see the examples).
    type: path
  config:
    description:
      - The wanted configuration, with the keys of a configuration file (C(label), C(network) with C(ip),
        C(mask) and C(gateway), C(ports)). Keys left out keep the node's values.
      - C(ports) is a list of up to four objects, port 1 first, each with any of C(universe) (1 to 256),
        C(break), C(mab), C(mbf), C(wait) (microseconds), C(channels) and C(merge) (C(HTP) or C(LTP)).
      - C(format), C(version) and C(serial) may stand as in a file and are not compared.
    type: dict
'''

EXAMPLES = r'''
- name: Port 2's BREAK on every truss, in one search
  tarvo.nodes.config:
    nodes: ["Truss*"]
    set:
      "ports[1].break": 200

- name: Universes numbered across the site, four a node
  tarvo.nodes.config:
    nodes: [all]
    set:
      "ports[*].universe": "1+"

- name: Second port on universe 7, on every node of the site
  tarvo.nodes.config:
    node: "{{ item.serial }}"
    config:
      ports:
        - {}
        - universe: 7
  loop: "{{ tarvo_nodes }}"
  loop_control:
    label: "{{ item.serial }} {{ item.label }}"

- name: A node as its file on the site machine says
  tarvo.nodes.config:
    node: "26500001"
    src: /srv/tarvo/site-a/26500001.json

- name: A node as its file on the controller says
  tarvo.nodes.config:
    node: "26500001"
    config: "{{ lookup('ansible.builtin.file', 'site-a/26500001.json') | from_json }}"
'''

RETURN = r'''
changes:
  description: The fields that differ (or differed before the write), in file order.
  returned: always
  type: list
  elements: dict
  sample:
    - {field: "ports[1].universe", from: 2, to: 7}
config:
  description: The node's configuration as wanted, whole, as a configuration file holds it.
  returned: success
  type: dict
result:
  description: C(tarvo config set)'s row for the node, when it wrote.
  returned: when written
  type: dict
  sample: {serial: "26500001", address: 192.0.2.10, result: done, reason: "", seconds: 0.05, changed: true}
results:
  description: With I(nodes), a row a node, C(tarvo config set)'s (its plan's in check mode), each with its changes.
  returned: with nodes
  type: list
  elements: dict
  sample:
    - {serial: "26490001", label: "Truss 1", address: 192.0.2.10, result: done, changed: true,
       changes: [{field: "ports[1].break", from: 176, to: 200}]}
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvo.nodes.plugins.module_utils.tarvo import (
    COMMON_ARGS, Tarvo, check_name, describe, failure_message, node_args, read_json_file, scratch_file)

NETWORK_KEYS = ('ip', 'mask', 'gateway')
PORT_NUMBERS = ('universe', 'break', 'mab', 'mbf', 'wait', 'channels')
PORT_KEYS = PORT_NUMBERS + ('merge',)
INFORMATIONAL = ('format', 'version', 'serial')


class Refused(Exception):
    pass


def _number(where, value):
    # Templated values arrive as text; a bool is not a number here.
    if isinstance(value, str) and value.strip().isdigit():
        return int(value.strip())
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    raise Refused('%s must be a whole number, not %r' % (where, value))


def _text(where, value):
    if not isinstance(value, str):
        raise Refused('%s must be text, not %r' % (where, value))
    return value


def _object(where, value, known):
    if not isinstance(value, dict):
        raise Refused('%s must be an object, not %r' % (where, value))
    unknown = sorted(set(value) - set(known))
    if unknown:
        # A misspelt key would otherwise leave the node's value in place unnoticed.
        raise Refused('%s: unknown key(s) %s' % (where, ', '.join(unknown)))
    return value


def merged(current, wanted):
    """The node's configuration with the wanted values put in; raises Refused."""
    _object('the configuration', wanted, INFORMATIONAL + ('label', 'network', 'ports'))
    if 'format' in wanted and wanted['format'] != 'tarvo-config':
        raise Refused('format must be "tarvo-config", not %r' % (wanted['format'],))
    if 'version' in wanted and wanted['version'] != 1:
        raise Refused('only version 1 of the configuration file is known, not %r' % (wanted['version'],))
    out = json.loads(json.dumps(current))
    if 'label' in wanted:
        out['label'] = _text('label', wanted['label'])
    for key, value in _object('network', wanted.get('network', {}), NETWORK_KEYS).items():
        out['network'][key] = _text('network.%s' % key, value)
    ports = wanted.get('ports', [])
    if not isinstance(ports, list) or len(ports) > 4:
        raise Refused('ports must be a list of at most four objects')
    for i, port in enumerate(ports):
        where = 'ports[%d]' % i
        for key, value in _object(where, port, PORT_KEYS).items():
            at = '%s.%s' % (where, key)
            out['ports'][i][key] = _text(at, value) if key == 'merge' else _number(at, value)
    return out


def fields(config):
    """(field, value) of every compared field, in file order."""
    yield 'label', config['label']
    for key in NETWORK_KEYS:
        yield 'network.%s' % key, config['network'][key]
    for i, port in enumerate(config['ports']):
        for key in PORT_KEYS:
            yield 'ports[%d].%s' % (i, key), port[key]


def checked_current(module, doc):
    """The node's configuration as tarvo read it, with every compared field present."""
    try:
        if len(doc['ports']) != 4 or not all(isinstance(p, dict) for p in doc['ports']):
            raise TypeError('not four ports')
        dict(fields(doc))
    except (KeyError, TypeError) as e:
        module.fail_json(msg='tarvo config get printed an unexpected configuration: %s' % e)
    return doc


def setting(module, key, value):
    """One --set argument, KEY=VALUE, its value as tarvo reads it."""
    if not isinstance(key, str) or not key or '=' in key:
        module.fail_json(msg='set: %r is no key' % (key,))
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        module.fail_json(msg='set: %s must be text or a whole number, not %r' % (key, value))
    return '%s=%s' % (key, value)


def patch(module, tarvo):
    """nodes and set: one tarvo config set --set for every node."""
    names = module.params['nodes'] or [module.params['node']]
    args = ['config', 'set'] + node_args(module, names)
    for key, value in sorted(module.params['set'].items()):
        args += ['--set', setting(module, key, value)]
    if not module.params['set']:
        module.fail_json(msg='set names no field')
    if module.check_mode:
        # tarvo reads every node, checks the values as a real write would,
        # and sends nothing.
        rows = [dict(r, changed=r.get('action') == 'write' and bool(r.get('changes')))
                for r in tarvo.plan(args + ['--yes'])]
    else:
        dummy, rows, failed = tarvo.summary(args + ['--yes'])
        if failed:
            module.fail_json(msg=failure_message('config set', failed), results=rows,
                             changed=any(r.get('changed') for r in rows))
    result = dict(changed=any(r.get('changed') for r in rows), results=rows)
    if module._diff:
        changed = [r for r in rows if r.get('changes')]
        result['diff'] = [dict(
            before_header='%s (node)' % describe(r), after_header='%s (wanted)' % describe(r),
            before=''.join('%s: %s\n' % (c['field'], json.dumps(c['from'])) for c in r['changes']),
            after=''.join('%s: %s\n' % (c['field'], json.dumps(c['to'])) for c in r['changes'])) for r in changed]
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, node=dict(type='str'), nodes=dict(type='list', elements='str'),
                           src=dict(type='path'), config=dict(type='dict'), set=dict(type='dict')),
        mutually_exclusive=[('src', 'config', 'set'), ('node', 'nodes')],
        required_one_of=[('src', 'config', 'set'), ('node', 'nodes')],
        required_by={'nodes': 'set'},
        supports_check_mode=True,
    )
    tarvo = Tarvo(module)
    if module.params['set'] is not None:
        patch(module, tarvo)
    node = check_name(module, 'node', module.params['node'])

    if module.params['src'] is not None:
        dummy, wanted = read_json_file(module, module.params['src'], 'configuration file')
    else:
        wanted = module.params['config']

    dummy, current, dummy = tarvo.run(['config', 'get', node], 'tarvo-config')
    current = checked_current(module, current)
    try:
        target = merged(current, wanted)
    except Refused as e:
        module.fail_json(msg=str(e))

    before, after = dict(fields(current)), list(fields(target))
    changes = [dict(field=f, to=v, **{'from': before[f]}) for f, v in after if before[f] != v]
    result = dict(changed=bool(changes), changes=changes, config=target)
    if module._diff:
        result['diff'] = dict(
            before_header='%s (node)' % node, after_header='%s (wanted)' % node,
            before=''.join('%s: %s\n' % (f, json.dumps(v)) for f, v in fields(current)),
            after=''.join('%s: %s\n' % (f, json.dumps(v)) for f, v in after))
    if not changes:
        module.exit_json(**result)

    path = scratch_file(module, 'wanted.json', json.dumps(target, indent=2) + '\n')
    if module.check_mode:
        # tarvo checks the values as for a real write and sends nothing.
        tarvo.plan(['config', 'set', node, path])
        module.exit_json(**result)
    dummy, rows, failed = tarvo.summary(['config', 'set', node, path])
    if failed:
        module.fail_json(msg=failure_message('config set', failed), results=rows, **result)
    result['result'] = rows[0] if rows else {}
    module.exit_json(**result)


if __name__ == '__main__':
    main()
