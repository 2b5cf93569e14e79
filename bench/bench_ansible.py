#!/usr/bin/env python3
"""What a facts play over two sites costs, against what it cannot avoid:
one `tarvo search` per site, and Ansible's own cost of a play on both sites
(tests/ansible/empty.yml, a ping). Interleaved, so that the machine's other
load falls on all alike; the medians of N rounds. Runs inside
scripts/two-sites, with its sites and controller from
tests/ansible/two_sites.py (scripts/bench runs it):

    sh scripts/two-sites -- python3 bench/bench_ansible.py \
        --tarvo build-bench/tarvo --emulator build-bench/tarvo-emulator --runs 7

Prints `RESULT key value unit` lines. Exit code 77: no ansible-playbook here.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'ansible'))
import two_sites  # noqa: E402  (found through the path above)


def elapsed(run):
    """Seconds that run() took; infinite when it did not succeed."""
    start = time.monotonic()
    ok = run()
    return time.monotonic() - start if ok else float('inf')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvo', required=True)
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--collection', default=two_sites.COLLECTION)
    parser.add_argument('--runs', type=int, default=3, metavar='N')
    args = parser.parse_args()
    if not shutil.which('ansible-playbook'):
        print('bench_ansible: no ansible-playbook here; skipping', file=sys.stderr)
        return 77

    work = tempfile.mkdtemp(prefix='bench-ansible-')
    sites = [two_sites.Site(s, work, args) for s in two_sites.SITES]
    try:
        for site in sites:
            site.start()
        controller = two_sites.Controller(work, args)
        # The first play opens the SSH connections that the rounds reuse.
        if controller.play('facts.yml')[0] != 0:
            print('bench_ansible: the facts play failed', file=sys.stderr)
            return 1
        times = {'a': [], 'b': [], 'empty': [], 'facts': []}
        for dummy in range(args.runs):
            for site in sites:
                times[site.name].append(elapsed(lambda: site.tarvo('--json', 'search').returncode == 0))
            times['empty'].append(elapsed(lambda: controller.play('empty.yml')[0] == 0))
            times['facts'].append(elapsed(lambda: controller.play('facts.yml')[0] == 0))
    finally:
        for site in sites:
            site.stop()
        shutil.rmtree(work, ignore_errors=True)
    for name, key in (('facts', 'facts'), ('empty', 'empty'), ('a', 'search.a'), ('b', 'search.b')):
        print('RESULT ansible.%s.seconds.median %.3f s' % (key, statistics.median(times[name])), flush=True)
    return 0 if all(t != float('inf') for runs in times.values() for t in runs) else 1


if __name__ == '__main__':
    sys.exit(main())
