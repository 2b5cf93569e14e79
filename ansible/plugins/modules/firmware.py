#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Firmware upgrade of a site's nodes, verified by discovery
description:
  - Runs C(tarvo upgrade) on the site machine. Nodes that already report the file's version are skipped;
    every other node is upgraded and then verified, by discovery, to report the file's version.
  - A node that fails, is not verified or does not answer fails the task, with its reason.
  - A file older than a node's firmware is refused for that node unless I(allow_downgrade).
  - Batches of sites are Ansible's own C(serial) and C(throttle); within a site, I(parallel).
  - In check mode the upgrade is only planned (C(tarvo upgrade --dry-run)); nothing is sent to any node.
version_added: 1.0.0
author: Tarvo configurator maintainers
extends_documentation_fragment:
  - tarvo.nodes.tarvo
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.flow
attributes:
  action:
    support: full
  async:
    support: none
  bypass_host_loop:
    support: none
  check_mode:
    support: full
    details:
      - The file is sent to the site machine's temporary folder for the task (removed afterwards), where C(tarvo)
        reads its version for the plan.
  diff_mode:
    support: full
    details: The versions before and after, one line per node. Outside check mode this costs one more discovery.
options:
  src:
    description:
      - The upgrade file (C(.upg)) on the controller, found as C(ansible.builtin.copy) finds its I(src) (beside the
        playbook, in its C(files/) folder, or a role's); it is sent to the site machine's temporary folder for the
        task and removed afterwards.
      - With I(remote_src), a file on the site machine.
    type: path
    required: true
  remote_src:
    description: I(src) is a file on the site machine, not on the controller.
    type: bool
    default: false
    version_added: 2.0.0
  nodes:
    description: The nodes to upgrade, by address, serial or label, or C(all) for every node that answers.
    type: list
    elements: str
    default: [all]
  parallel:
    description: How many nodes of the site at once, 1 to 1000 (C(tarvo upgrade --parallel)); by default tarvo's cautious batch of 8.
    type: int
  allow_downgrade:
    description: Also write a file whose version is below a node's.
    type: bool
    default: false
  skip_newer:
    description:
      - Skip a node whose firmware is newer than the file's; it counts as success (C(tarvo upgrade --skip-newer)),
        so that one newer node does not stop a rollout. Without it such a node is refused and fails the task.
    type: bool
    default: false
'''

EXAMPLES = r'''
- name: Upgrade the sites one at a time
  hosts: sites
  serial: 1
  tasks:
    - name: Upgrade every node, eight at a time, from the file beside the playbook
      tarvo.nodes.firmware:
        src: Tarvo_v2.05.upg
        nodes: all
        parallel: 8

- name: Upgrade two nodes from a file that is on the site machine already
  tarvo.nodes.firmware:
    src: /srv/tarvo/Tarvo_v2.05.upg
    remote_src: true
    nodes: ["26500001", Stage left]
'''

RETURN = r'''
results:
  description: One row per node, as C(tarvo upgrade --json) gives them.
  returned: always
  type: list
  elements: dict
  sample:
    - {serial: "26500001", label: Node-1, address: 192.0.2.10, result: verified, reason: reports v2.05,
       seconds: 1.12, changed: true}
    - {serial: "26500002", label: Node-2, address: 192.0.2.11, result: skipped, reason: already at v2.05,
       seconds: 0.0, changed: false}
plan:
  description: In check mode, and in diff mode, the plan of C(tarvo upgrade --dry-run), one row per node.
  returned: in check mode or diff mode
  type: list
  elements: dict
  sample:
    - {serial: "26500001", address: 192.0.2.10, action: upgrade, from_version: v1.00, to_version: v2.05}
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvo.nodes.plugins.module_utils.tarvo import (
    COMMON_ARGS, Tarvo, describe, failure_message, node_args)


def version_diff(plan):
    lines = [(describe(n), n.get('from_version', ''), n.get('to_version', '')) for n in plan
             if n.get('action') == 'upgrade']
    return dict(before=''.join('%s: %s\n' % (n, old) for n, old, new in lines),
                after=''.join('%s: %s\n' % (n, new) for n, old, new in lines))


def main():
    module = AnsibleModule(
        # remote_src is the action plugin's: src is on this machine by now.
        argument_spec=dict(COMMON_ARGS, src=dict(type='path', required=True),
                           remote_src=dict(type='bool', default=False),
                           nodes=dict(type='list', elements='str', default=['all']),
                           parallel=dict(type='int'), allow_downgrade=dict(type='bool', default=False),
                           skip_newer=dict(type='bool', default=False)),
        mutually_exclusive=[('allow_downgrade', 'skip_newer')],
        supports_check_mode=True,
    )
    # Absolute, so that no file name is ever taken for one of tarvo's options.
    src = os.path.abspath(module.params['src'])
    if not os.path.isfile(src):
        module.fail_json(msg='upgrade file %s is not on the site machine' % src)
    args = ['upgrade', src] + node_args(module, module.params['nodes'])
    if module.params['parallel'] is not None:
        if not 1 <= module.params['parallel'] <= 1000:
            module.fail_json(msg='parallel must be 1 to 1000, not %d' % module.params['parallel'])
        args += ['--parallel', str(module.params['parallel'])]
    if module.params['allow_downgrade']:
        args.append('--allow-downgrade')
    if module.params['skip_newer']:
        args.append('--skip-newer')
    tarvo = Tarvo(module)

    result = dict(changed=False, results=[])
    if module.check_mode or module._diff:
        plan = tarvo.plan(args)
        result.update(plan=plan, changed=any(n.get('action') == 'upgrade' for n in plan))
        if module._diff:
            result['diff'] = version_diff(plan)
        if module.check_mode:
            module.exit_json(**result)

    # Without pipelining Ansible gives the module a terminal: --yes keeps
    # tarvo from asking for a confirmation nobody can give.
    dummy, rows, failed = tarvo.summary(args + ['--yes'])
    result.update(results=rows, changed=any(r.get('changed') is True for r in rows))
    if failed:
        module.fail_json(msg=failure_message('upgrade', failed), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
