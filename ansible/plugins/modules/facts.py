#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: facts
short_description: The nodes of a site, as discovery finds them, and the problems they show
description:
  - Runs C(tarvo check) on the site machine and sets the nodes that answered as the fact C(tarvo_nodes), and the
    problems their replies show (two nodes on one address, a node outside the network, shared serials, ...) as
    C(tarvo_problems).
  - Sends one discovery request and nothing else; nodes are not connected to.
  - Problems do not fail the task, errors included; a play decides what to do about them.
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

- name: Stop at a site where two nodes share an address, or a node is out of reach
  ansible.builtin.assert:
    that: tarvo_problems | selectattr('severity', 'equalto', 'error') | list | length == 0
    fail_msg: "{{ tarvo_problems | selectattr('severity', 'equalto', 'error') | map(attribute='advice') | list }}"
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
    tarvo_problems:
      description:
        - The problems the replies show, errors first, as C(tarvo --json check) gives them (tarvo(1)).
        - C(kind) is one of C(address-conflict), C(workstation-address), C(unreachable) (severity C(error));
          C(record-address), C(mask-mismatch), C(gateway-outside), C(shared-serial), C(duplicate-mac),
          C(duplicate-label) (C(warning)); C(bootloader), C(firmware-versions), C(replies-lost) (C(info)).
        - C(nodes) names the nodes concerned (serial, label, address, mac); C(advice) says what to do; further keys
          are the kind's own facts (C(address), C(free_address), C(mask), C(gateway), ...).
        - Texts are the nodes' own and come from the network.
      type: list
      elements: dict
      version_added: 2.1.0
      sample:
        - kind: address-conflict
          severity: error
          address: 192.0.2.10
          nodes:
            - {serial: "26500001", label: Truss 1, address: 192.0.2.10, mac: "02:00:5e:00:00:01"}
            - {serial: "26500003", label: Truss 3, address: 192.0.2.10, mac: "02:00:5e:00:00:03"}
          advice: >-
            192.0.2.10: Truss 1 (26500001) and Truss 3 (26500003) answer from it; a connection to it reaches any
            one of them: take all but one off the network, give that one another address (tarvo config set
            192.0.2.10 --set network.ip=ADDR), then bring the others back
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
    # Exit code 1 with a report: the site has errors, which are facts too.
    dummy, doc, dummy = tarvo.run(['check'], 'tarvo-check')
    nodes = tarvo.rows(doc, 'nodes')
    problems = tarvo.rows(doc, 'problems')
    lost = doc.get('replies_lost', 0)
    full = doc.get('list_full', False)
    if lost or full:
        module.warn('discovery may have missed nodes: %s replies lost%s' % (lost, ', list full' if full else ''))
    module.exit_json(changed=False, ansible_facts=dict(
        tarvo_nodes=nodes, tarvo_problems=problems, tarvo_replies_lost=lost, tarvo_list_full=full))


if __name__ == '__main__':
    main()
