#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: backup
short_description: A site's configuration files, fetched to the controller
description:
  - Runs C(tarvo backup) on the site machine into a temporary folder and brings the files, one per node and named
    by its serial, to I(dest)/INVENTORY_HOSTNAME/SERIAL.json on the controller.
  - A file on the controller is replaced, whole, only when its content differs; C(changed) says whether any was.
  - Nodes are only read, in check mode too; in check mode nothing is written on the controller.
  - With C(--check --diff), what changed on the nodes since the last backup, file by file.
  - The files are those C(tarvo restore) and C(tarvo.nodes.config)'s I(src) take back.
  - Files that could be read are written even when some node failed; the task then fails with the reasons.
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
  diff_mode:
    support: full
    details: Each file on the controller that changes (or would), its old content and its new; a new file has none.
options:
  dest:
    description: A folder on the controller; each site's files go to a folder named by its inventory name.
    type: path
    required: true
  nodes:
    description: The nodes, by address, serial or label, or C(all) for every node that answers.
    type: list
    elements: str
    default: [all]
'''

EXAMPLES = r'''
- name: Every node's configuration, to backups/SITE/SERIAL.json on the controller
  tarvo.nodes.backup:
    dest: backups
'''

RETURN = r'''
files:
  description: The files on the controller, one per node backed up.
  returned: always
  type: list
  elements: dict
  sample:
    - {serial: "26500001", label: Node-1, address: 192.0.2.10, path: backups/site-a/26500001.json, changed: true}
results:
  description: One row per node, as C(tarvo backup --json) gives them.
  returned: always
  type: list
  elements: dict
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvo.nodes.plugins.module_utils.tarvo import (
    COMMON_ARGS, SAFE_SERIAL, Tarvo, failure_message, node_args, read_json_file)


def main():
    # dest is the action plugin's; it is not passed on to here.
    module = AnsibleModule(
        argument_spec=dict(COMMON_ARGS, nodes=dict(type='list', elements='str', default=['all'])),
        supports_check_mode=True,
    )
    tarvo = Tarvo(module)
    folder = os.path.join(module.tmpdir, 'backup')
    # Reading nodes changes nothing, so check mode reads them too; --yes as
    # for every command that writes (a terminal may be attached).
    dummy, rows, failed = tarvo.summary(['backup', folder] + node_args(module, module.params['nodes']) + ['--yes'])
    files = []
    for row in rows:
        if row.get('result') != 'done':
            continue
        serial = row.get('serial')
        if not isinstance(serial, str) or not SAFE_SERIAL.match(serial):
            failed.append(dict(row, result='failed', reason='serial cannot name a file'))
            continue
        data, config = read_json_file(module, os.path.join(folder, serial + '.json'), 'backup')
        if not isinstance(config, dict) or config.get('format') != 'tarvo-config':
            failed.append(dict(row, result='failed', reason='tarvo wrote no configuration file'))
            continue
        files.append(dict(serial=serial, label=row.get('label'), address=row.get('address'),
                          content=data.decode('utf-8')))
    if failed:
        module.fail_json(msg=failure_message('backup', failed), files=files, results=rows)
    module.exit_json(changed=False, files=files, results=rows)


if __name__ == '__main__':
    main()
