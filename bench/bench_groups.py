#!/usr/bin/env python3
"""One setting across a site: `tarvo config set --all --set` against the
same change made by one `config set` per node, and the Ansible `config`
module's one task for every node against a task per node. 200 emulated
nodes on site a of scripts/two-sites; every round changes the value, so
that every node is written. Runs inside scripts/two-sites (scripts/bench
runs it):

    sh scripts/two-sites --nodes 200 --tarvo build-bench/tarvo -- python3 bench/bench_groups.py \
        --tarvo build-bench/tarvo --emulator build-bench/tarvo-emulator --single 200

--single N: the per-node runs take N nodes (the figure per node is
projected to 200 when N is smaller). Prints `RESULT key value unit` lines;
exit code 77 without ansible-playbook.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'ansible'))
import two_sites  # noqa: E402  (found through the path above)

NODES = 200


def result(key, value, unit):
    print('RESULT %s %.3f %s' % (key, value, unit), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvo', required=True)
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--collection', default=two_sites.COLLECTION)
    parser.add_argument('--single', type=int, default=20, metavar='N')
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix='bench-groups-')
    site = two_sites.Site('a', work, args)
    emulator = None
    try:
        log = open(os.path.join(work, 'emulator.log'), 'w')
        emulator = subprocess.Popen(['nsenter', '--net=' + site.nodes_netns, args.emulator, '--exit-with-parent',
                                     '--count', str(NODES), '--first-ip', '192.0.2.10', '--omit-events', 'rx,packet'],
                                    stdout=log, stderr=subprocess.STDOUT)
        time.sleep(1)
        serials = ['%d' % (26500001 + i) for i in range(NODES)]
        single = serials[:max(1, min(args.single, NODES))]
        value = iter(range(100, 999))

        start = time.monotonic()
        done = site.tarvo('--json', 'config', 'set', '--all', '--set', 'ports[1].break=%d' % next(value), '--yes',
                          '--parallel', '50')
        together = time.monotonic() - start
        written = json.loads(done.stdout)['tally']['done'] if done.returncode == 0 else 0
        result('groups.tarvo.set_all.seconds', together, 's')
        result('groups.tarvo.set_all.written', written, 'nodes')

        v = next(value)
        start = time.monotonic()
        for serial in single:
            site.tarvo('config', 'set', serial, '--set', 'ports[1].break=%d' % v)
        per_node = (time.monotonic() - start) / len(single)
        result('groups.tarvo.one_by_one.seconds_per_node', per_node, 's')
        result('groups.tarvo.one_by_one.projected_seconds', per_node * NODES, 's')
        result('groups.tarvo.ratio', together / (per_node * NODES), 'x')

        if not shutil.which('ansible-playbook'):
            print('bench_groups: no ansible-playbook here; the Ansible part is left out', file=sys.stderr)
            return 0
        controller = two_sites.Controller(work, args)
        start = time.monotonic()
        rc = controller.play('patch.yml', '--limit', 'site-a', names=['all'],
                             fields={'ports[1].break': next(value)})[0]
        task = time.monotonic() - start
        result('groups.ansible.one_task.seconds', task if rc == 0 else float('inf'), 's')

        playbook = os.path.join(work, 'per-node.yml')
        with open(playbook, 'w') as f:
            json.dump([{'name': 'A task a node', 'hosts': 'site-a', 'gather_facts': False,
                        'module_defaults': {'group/tarvo.nodes.tarvo': {'interface': '{{ tarvo_interface }}',
                                                                       'tarvo_path': '{{ tarvo_path }}'}},
                        'tasks': [{'name': 'Patch ' + s, 'tarvo.nodes.config': {'nodes': [s], 'set': {
                            'ports[1].break': next(value)}}} for s in single]}], f)
        start = time.monotonic()
        rc = controller.play(playbook)[0]
        per_task = (time.monotonic() - start) / len(single)
        result('groups.ansible.per_node.seconds_per_node', per_task if rc == 0 else float('inf'), 's')
        result('groups.ansible.per_node.projected_seconds', per_task * NODES, 's')
        result('groups.ansible.ratio', task / (per_task * NODES), 'x')
        return 0
    finally:
        if emulator:
            emulator.terminate()
            emulator.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
