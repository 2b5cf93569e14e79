# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

"""Running tarvo on the site machine and reading its JSON."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import re

from ansible.module_utils.basic import env_fallback

# Options every module takes (doc fragment tarvo.nodes.tarvo).
COMMON_ARGS = dict(
    interface=dict(type='str'),
    timeout=dict(type='int'),
    tarvo_path=dict(type='path', fallback=(env_fallback, ['TARVO_PATH'])),
)

# The largest output we read: an inventory of 2000 nodes is about 400 KiB.
MAX_OUTPUT = 8 * 1024 * 1024
# Configuration files are at most 64 KiB (tarvo refuses larger ones).
MAX_CONFIG_FILE = 64 * 1024
# A node name is an address, a serial or a label (at most 63 bytes).
MAX_NAME = 63
# What tarvo accepts as a file name for a serial.
SAFE_SERIAL = re.compile(r'^[A-Za-z0-9_-][A-Za-z0-9._-]{0,62}$')
# Results of a summary that count as success.
SUCCEEDED = ('done', 'verified', 'skipped')


def check_name(module, what, value, limit=MAX_NAME):
    """A name given to tarvo as an argument: bounded and never taken for an option."""
    if not isinstance(value, str) or not value or len(value) > limit \
            or value.startswith('-') or any(ord(c) < 32 or ord(c) == 127 for c in value):
        module.fail_json(msg='%s must be 1 to %d printable characters, not starting with "-": %r'
                         % (what, limit, value))
    return value


def node_args(module, nodes):
    """tarvo's node arguments for a `nodes` option: names, or --all."""
    if nodes == ['all']:
        return ['--all']
    if not nodes or 'all' in nodes:
        module.fail_json(msg='nodes must be "all" or a list of node names, not both')
    return [check_name(module, 'a node name', n) for n in nodes]


def command_name(args):
    """How messages name a tarvo command: "upgrade", "config set"."""
    return ' '.join(args[:2] if args[0] == 'config' else args[:1])


def describe(row):
    """How a message names a node of tarvo's output."""
    if not isinstance(row, dict):
        return repr(row)[:100]
    label = row.get('label')
    ident = ', '.join(str(row[k]) for k in ('serial', 'address') if row.get(k))
    return '%s (%s)' % (label, ident) if label else ident or '?'


def read_json_file(module, path, what):
    """A JSON file of at most 64 KiB."""
    try:
        with open(path, 'rb') as f:
            data = f.read(MAX_CONFIG_FILE + 1)
    except (IOError, OSError) as e:
        module.fail_json(msg='%s %s cannot be read: %s' % (what, path, e))
    if len(data) > MAX_CONFIG_FILE:
        module.fail_json(msg='%s %s is larger than %d bytes' % (what, path, MAX_CONFIG_FILE))
    try:
        return data, json.loads(data.decode('utf-8'))
    except (UnicodeDecodeError, ValueError) as e:
        module.fail_json(msg='%s %s is not JSON: %s' % (what, path, e))


class Tarvo(object):
    """One module's tarvo: the program, the global options, its JSON."""

    def __init__(self, module):
        self.module = module
        params = module.params
        program = params.get('tarvo_path') or module.get_bin_path('tarvo', required=True)
        self.base = [program, '--json']
        if params.get('interface'):
            self.base += ['--interface', check_name(module, 'interface', params['interface'])]
        timeout = params.get('timeout')
        if timeout is not None:
            if not 1 <= timeout <= 600000:
                module.fail_json(msg='timeout must be 1 to 600000 ms, not %d' % timeout)
            self.base += ['--timeout', str(timeout)]

    def run(self, args, expected):
        """Runs tarvo; returns (exit code, its JSON object of the expected format, stderr).

        Fails the task on a usage error, an interruption, output that is not
        the expected JSON, or an exit code of 1 without JSON (then stderr says why).
        """
        cmd = self.base + args
        command = command_name(args)
        rc, out, err = self.module.run_command(cmd)
        err = (err or '').strip()
        # The end of stderr holds the reason; a flood of trace lines does not.
        reason = err[-2000:] if err else 'exit code %d' % rc
        if rc not in (0, 1):
            self.module.fail_json(msg='tarvo %s: %s' % (command, reason), rc=rc, cmd=cmd)
        if len(out) > MAX_OUTPUT:
            self.module.fail_json(msg='tarvo %s printed more than %d bytes' % (command, MAX_OUTPUT), rc=rc, cmd=cmd)
        try:
            doc = json.loads(out) if out.strip() else None
        except ValueError as e:
            self.module.fail_json(msg='tarvo %s printed no JSON (%s): %s' % (command, e, reason), rc=rc, cmd=cmd)
        if doc is None:
            self.module.fail_json(msg='tarvo %s: %s' % (command, reason), rc=rc, cmd=cmd)
        if not isinstance(doc, dict) or doc.get('format') != expected or doc.get('version') != 1:
            self.module.fail_json(msg='tarvo %s printed no %s version 1: %s' % (command, expected, out[:200]),
                                  rc=rc, cmd=cmd)
        return rc, doc, err

    def rows(self, doc, key):
        """The list `key` of a tarvo JSON object, every entry an object."""
        rows = doc.get(key)
        if not isinstance(rows, list) or not all(isinstance(r, dict) for r in rows):
            self.module.fail_json(msg='tarvo printed a %s without a list of objects in "%s"' % (doc.get('format'), key))
        return rows

    def summary(self, args):
        """Runs a command that writes; returns (exit code, result rows, the failed rows)."""
        rc, doc, err = self.run(args, 'tarvo-summary')
        results = self.rows(doc, 'results')
        failed = [r for r in results if r.get('result') not in SUCCEEDED]
        if rc != 0 and not failed:
            self.module.fail_json(msg='tarvo %s: %s' % (command_name(args), err[-2000:] or 'exit code %d' % rc),
                                  rc=rc, results=results)
        return rc, results, failed

    def plan(self, args):
        """Runs a command with --dry-run; returns its plan's node rows, or fails when it could not run."""
        rc, doc, err = self.run(args + ['--dry-run'], 'tarvo-plan')
        nodes = self.rows(doc, 'nodes')
        if rc != 0 or doc.get('runnable') is not True:
            why = '; '.join('%s: %s' % (describe(n), n.get('reason', n.get('action'))) for n in nodes
                            if n.get('action') not in ('write', 'upgrade', 'skip'))
            why = why or err[-2000:] or 'not runnable'
            self.module.fail_json(msg='tarvo %s would not run: %s' % (command_name(args), why), plan=nodes)
        return nodes


def failure_message(command, failed):
    """One line naming every node that failed, with its result and reason."""
    return 'tarvo %s failed on %d node(s): %s' % (command, len(failed), '; '.join(
        '%s: %s%s' % (describe(r), r.get('result'), ': %s' % r['reason'] if r.get('reason') else '') for r in failed))


def scratch_file(module, name, content):
    """A file of ours in the module's private temporary folder, written whole."""
    path = os.path.join(module.tmpdir, name)
    with open(path, 'w') as f:
        f.write(content)
    return path
