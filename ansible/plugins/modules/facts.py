#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: facts
short_description: The nodes of a site, as discovery finds them
description:
  - Runs C(tarvo search) on the site machine and sets the nodes that answered as the fact C(tarvo_nodes).
  - Sends one discovery request and nothing else; nodes are not connected to.
version_added: 1.0.0
author: Tarvo configurator maintainers
extends_documentation_fragment:
  - tarvo.nodes.tarvo
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.facts
attributes:
  check_mode:
    support: full
  diff_mode:
    support: N/A
    details: It changes nothing, so there is no difference to show.
  facts:
    support: full
'''

EXAMPLES = r'''
- name: Find the nodes of every site
  tarvo.nodes.facts:
    interface: eth1

- name: Name the nodes that run their boot loader
  ansible.builtin.debug:
    msg: "{{ tarvo_nodes | selectattr('type', 'equalto', 'bootloader') | map(attribute='serial') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The site's nodes.
  returned: always
  type: complex
  contains:
    tarvo_nodes:
      description:
        - One object per node that answered, sorted by address, as C(tarvo --json search) gives them.
        - Texts are the nodes' own and come from the network.
      type: list
      elements: dict
      sample:
        - serial: "26500001"
          label: Node-1
          address: 192.0.2.10
          firmware: v1.00
          name: Tarvo DMX4
          mac: "02:00:5e:00:00:01"
          type: application
          shared_serial: false
    tarvo_replies_lost:
      description: Discovery replies that could not be read (too many at once); then C(tarvo_nodes) may lack nodes.
      type: int
      sample: 0
    tarvo_list_full:
      description: Whether more nodes answered than tarvo keeps; then C(tarvo_nodes) lacks some.
      type: bool
      sample: false
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvo.nodes.plugins.module_utils.tarvo import COMMON_ARGS, Tarvo


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_ARGS), supports_check_mode=True)
    tarvo = Tarvo(module)
    dummy, doc, dummy = tarvo.run(['search'], 'tarvo-inventory')
    nodes = tarvo.rows(doc, 'nodes')
    lost = doc.get('replies_lost', 0)
    full = doc.get('list_full', False)
    if lost or full:
        module.warn('discovery may have missed nodes: %s replies lost%s' % (lost, ', list full' if full else ''))
    module.exit_json(changed=False, ansible_facts=dict(
        tarvo_nodes=nodes, tarvo_replies_lost=lost, tarvo_list_full=full))


if __name__ == '__main__':
    main()
