#!/usr/bin/env python3
"""The collection's modules against a stand-in tarvo that records its
arguments and prints a canned summary: what the modules make of tarvo's
answers, without nodes, SSH or a network.

    python3 tests/ansible/stand_in.py

Exit code 77: no ansible-playbook here.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(HERE, '..', '..', 'ansible')

SUMMARY = {'format': 'tarvo-summary', 'version': 1, 'command': 'upgrade', 'interrupted': False,
           'results': [{'serial': '4001', 'label': 'Rig', 'address': '192.0.2.10', 'result': 'not verified',
                        'reason': 'reports v1.00', 'seconds': 1.0, 'changed': True}],
           'tally': {'done': 0, 'verified': 0, 'skipped': 0, 'not verified': 1, 'failed': 0, 'missing': 0,
                     'interrupted': 0}}

# A site with an error: tarvo check exits 1 with its report.
PROBLEM = {'kind': 'address-conflict', 'severity': 'error', 'address': '192.0.2.10', 'advice': 'give one another address',
           'nodes': [{'serial': '4001', 'label': 'Rig', 'address': '192.0.2.10', 'mac': '02:00:5e:00:00:01'},
                     {'serial': '4002', 'label': 'Spot', 'address': '192.0.2.10', 'mac': '02:00:5e:00:00:02'}]}
CHECK = {'format': 'tarvo-check', 'version': 1, 'nodes': [dict(n, firmware='v1.00', name='Tarvo DMX4',
                                                               type='application', shared_serial=False)
                                                          for n in PROBLEM['nodes']],
         'replies_lost': 0, 'list_full': False, 'problems': [PROBLEM], 'tally': {'error': 1, 'warning': 0, 'info': 0}}

PLAY = [{'name': 'Stand-in', 'hosts': 'localhost', 'gather_facts': False, 'tasks': [
    {'name': name, 'ignore_errors': True,
     'tarvo.nodes.firmware': {'src': '{{ src }}', 'nodes': nodes, 'tarvo_path': '{{ stub }}'}}
    for name, nodes in (('not verified', ['192.0.2.10']), ('an option as a name', ['--all']))] + [
    {'name': 'facts', 'ignore_errors': True, 'tarvo.nodes.facts': {'tarvo_path': '{{ stub }}'}}]}]


def main():
    if not shutil.which('ansible-playbook'):
        print('stand_in: no ansible-playbook here; skipping', file=sys.stderr)
        return 77
    work = tempfile.mkdtemp(prefix='tarvo-stand-in-')
    try:
        installed = os.path.join(work, 'collections', 'ansible_collections', 'tarvo')
        os.makedirs(installed)
        os.symlink(os.path.abspath(COLLECTION), os.path.join(installed, 'nodes'))
        log, stub = os.path.join(work, 'calls'), os.path.join(work, 'tarvo')
        for name, doc in (('summary.json', SUMMARY), ('check.json', CHECK)):
            with open(os.path.join(work, name), 'w') as f:
                json.dump(doc, f)
        with open(stub, 'w') as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> %s\ncase " $* " in *" check "*) cat %s ;; *) cat %s ;; esac\n'
                    'exit 1\n' % (log, os.path.join(work, 'check.json'), os.path.join(work, 'summary.json')))
        os.chmod(stub, 0o755)
        src = os.path.join(work, 'Tarvo_v2.05.upg')
        open(src, 'w').close()
        with open(os.path.join(work, 'play.json'), 'w') as f:
            json.dump(PLAY, f)  # JSON is YAML
        env = dict(os.environ, ANSIBLE_HOME=os.path.join(work, 'home'),
                   ANSIBLE_LOCAL_TEMP=os.path.join(work, 'tmp'),
                   ANSIBLE_COLLECTIONS_PATH=os.path.join(work, 'collections'),
                   ANSIBLE_STDOUT_CALLBACK='results', ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, 'callback_plugins'),
                   ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0')
        run = subprocess.run(['ansible-playbook', '-i', 'localhost,', '-c', 'local', os.path.join(work, 'play.json'),
                              '-e', json.dumps(dict(src=src, stub=stub,
                                                    ansible_python_interpreter='/usr/bin/python3'))],
                             env=env, capture_output=True, text=True, timeout=300)
        try:
            results = {r['task']: r['result'] for r in json.loads(run.stdout)['results']}
        except (ValueError, KeyError):
            print(run.stdout[-3000:], run.stderr[-3000:], sep='\n')
            return 1
        calls = open(log).read().splitlines() if os.path.exists(log) else []
        checks = [
            (results['not verified'].get('failed')
             and 'Rig (4001, 192.0.2.10): not verified: reports v1.00' in results['not verified'].get('msg', ''),
             'a node not verified fails the task, named with its result', results['not verified']),
            (results['an option as a name'].get('failed')
             and 'not starting with "-"' in results['an option as a name'].get('msg', ''),
             'a node name that starts with "-" fails the task', results['an option as a name']),
            (len(calls) == 2 and not any('--all' in c.split() for c in calls),
             'such a name never reaches tarvo', calls),
            (not results['facts'].get('failed')
             and results['facts'].get('ansible_facts', {}).get('tarvo_problems') == [PROBLEM]
             and len(results['facts']['ansible_facts'].get('tarvo_nodes', [])) == 2,
             'a site with errors gives its nodes and problems as facts, and the task does not fail', results['facts']),
        ]
        for ok, what, detail in checks:
            print('%s: %s%s' % ('ok' if ok else 'FAILED', what, '' if ok else ' -- %s' % str(detail)[:2000]))
        return 0 if all(c[0] for c in checks) else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
