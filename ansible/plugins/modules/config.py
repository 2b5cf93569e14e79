#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: config
short_description: A node's configuration, written only where it differs
description:
  - Reads the node's configuration (C(tarvo config get)), merges the wanted values into it and compares field by
    field. Only when a field differs is the whole configuration written, with one C(tarvo config set).
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
    required: true
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
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvo.nodes.plugins.module_utils.tarvo import (
    COMMON_ARGS, Tarvo, check_name, failure_message, read_json_file, scratch_file)

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


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, node=dict(type='str', required=True), src=dict(type='path'),
                           config=dict(type='dict')),
        mutually_exclusive=[('src', 'config')],
        required_one_of=[('src', 'config')],
        supports_check_mode=True,
    )
    node = check_name(module, 'node', module.params['node'])
    tarvo = Tarvo(module)

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
