# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

"""tarvo.nodes.backup on the controller: runs the module at the site and
writes the files it brings back under dest."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import re
import tempfile

from ansible.module_utils.common.text.converters import to_bytes, to_text
from ansible.plugins.action import ActionBase

# The module's bounds, checked again: what comes back crossed the network.
MAX_FILE = 64 * 1024
SAFE_NAME = re.compile(r'^[A-Za-z0-9_-][A-Za-z0-9._-]{0,62}$')


def write_whole(path, data):
    """Replaces path by a complete new file, never a partial one."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix='.tarvo-backup-')
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


class ActionModule(ActionBase):

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(('dest', 'nodes', 'interface', 'timeout', 'tarvo_path'))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        dest = args.pop('dest', None)
        if not dest:
            return dict(result, failed=True, msg='dest is required')
        host = (task_vars or {}).get('inventory_hostname', '')
        if not SAFE_NAME.match(host):
            return dict(result, failed=True, msg='inventory name %r cannot name a folder' % host)
        folder = os.path.join(self._loader.path_dwim(os.path.expanduser(dest)), host)

        remote = self._execute_module(module_name='tarvo.nodes.backup', module_args=args, task_vars=task_vars)
        files, problems, diffs = [], [], []
        for entry in remote.pop('files', None) or []:
            saved, problem, diff = self._save(folder, entry)
            if saved:
                files.append(saved)
            if problem:
                problems.append(problem)
            if diff:
                diffs.append(diff)
        result.update(remote)
        result.update(files=files, changed=any(f['changed'] for f in files))
        if self._play_context.diff and diffs:
            result['diff'] = diffs
        if problems:
            result.update(failed=True, msg='; '.join(filter(None, [remote.get('msg')] + problems)))
        return result

    def _save(self, folder, entry):
        """Writes one node's file when it differs; returns (its row, a problem, its diff)."""
        serial = entry.get('serial') if isinstance(entry, dict) else None
        content = entry.get('content') if isinstance(entry, dict) else None
        if not isinstance(serial, str) or not SAFE_NAME.match(serial):
            return None, 'serial %r cannot name a file' % (serial,), None
        data = to_bytes(content if isinstance(content, str) else '')
        if len(data) > MAX_FILE:
            return None, '%s: the file is larger than %d bytes' % (serial, MAX_FILE), None
        try:
            config = json.loads(to_text(data))
        except ValueError:
            config = None
        if not isinstance(config, dict) or config.get('format') != 'tarvo-config':
            return None, '%s: not a configuration file' % serial, None
        path = os.path.join(folder, serial + '.json')
        try:
            with open(path, 'rb') as f:
                before = f.read(MAX_FILE + 1)
        except (IOError, OSError):
            before = None
        changed = before != data
        if changed and not self._play_context.check_mode:
            try:
                os.makedirs(folder, exist_ok=True)
                write_whole(path, data)
            except (IOError, OSError) as e:
                return None, '%s: %s' % (path, e), None
        # As copy shows a file: the old content (none for a new file) and the new.
        diff = dict(before_header=path, after_header=path, before=to_text(before or b'', errors='replace'),
                    after=to_text(data)) if changed else None
        return dict(serial=serial, label=entry.get('label'), address=entry.get('address'), path=path,
                    changed=changed), None, diff
