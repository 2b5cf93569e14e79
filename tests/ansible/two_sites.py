#!/usr/bin/env python3
"""The collection tarvo.nodes against two sites whose nodes share their
addresses, over SSH, run inside scripts/two-sites:

    sh scripts/two-sites -- python3 tests/ansible/two_sites.py \
        --tarvo build/tarvo --emulator build/tarvo-emulator --production build/tarvo-production

Each site's nodes are a tarvo-emulator in the site's nodes' namespace; its
output (`rx ADDR WORD` per message a node receives) shows what reached the
nodes. The playbooks of docs/SITES.md run as printed there, in check mode
and for real, with tarvo found on the site machines' PATH (two-sites
--tarvo); the test's own playbooks beside this file take the rest. What
the plays cost is measured by bench/bench_ansible.py, which uses the sites
and the controller of this file.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.join(HERE, '..', '..', 'ansible')
SITES_MD = os.path.join(HERE, '..', '..', 'docs', 'SITES.md')
# The playbooks of docs/SITES.md, by the name of their play.
FACTS, CONFIG = 'The nodes of every site', 'Second port on universe 7'
FIRMWARE, BACKUP = 'Firmware, one site at a time', "Every node's configuration, to the controller"
SITES = ('a', 'b')
ADDRESSES = ['192.0.2.%d' % (10 + i) for i in range(3)]
SET_CONFIG, ERASE = 8, 12

checks = {'passed': 0, 'failed': 0, 'skipped': 0}


def check(ok, what, detail=''):
    checks['passed' if ok else 'failed'] += 1
    print('%s: %s%s' % ('ok' if ok else 'FAILED', what, '' if ok else ' -- %s' % str(detail)[:3000]), flush=True)
    return ok


def skip(what, why):
    checks['skipped'] += 1
    print('skipped: %s (%s)' % (what, why), flush=True)


class Site(object):
    """A site: its machine's namespace, its emulated nodes and their log."""

    def __init__(self, name, work, args):
        self.name, self.host = name, 'site-' + name
        self.netns = os.environ['TARVO_SITE_%s_NETNS' % name.upper()]
        self.nodes_netns = os.environ['TARVO_SITE_%s_NODES_NETNS' % name.upper()]
        self.work, self.args, self.emulator = work, args, None
        self.log = os.path.join(work, 'emulator-%s.log' % name)

    def start(self, faults=None):
        """Nodes at v1.00, serials of their own per site; faults by address."""
        self.stop()
        nodes = [dict(ip=ip, serial='265%s%04d' % ('12'[SITES.index(self.name)], i + 1),
                      label='%s-%d' % (self.name.upper(), i + 1), version='v1.00', type=421,
                      mac='02:00:5e:00:0%d:%02x' % (SITES.index(self.name), i),
                      faults=(faults or {}).get(ip, {})) for i, ip in enumerate(ADDRESSES)]
        path = os.path.join(self.work, 'nodes-%s.json' % self.name)
        with open(path, 'w') as f:
            json.dump(dict(nodes=nodes), f)
        out = open(self.log, 'w')
        self.emulator = subprocess.Popen(
            ['nsenter', '--net=' + self.nodes_netns, self.args.emulator, '--exit-with-parent', '--nodes-file', path],
            stdout=out, stderr=subprocess.STDOUT)
        out.close()
        deadline = time.monotonic() + 10
        while 'ready' not in self.lines() and time.monotonic() < deadline:
            time.sleep(0.02)
        return [n['serial'] for n in nodes]

    def stop(self):
        if self.emulator:
            self.emulator.terminate()
            self.emulator.wait()
            self.emulator = None

    def lines(self, since=0):
        with open(self.log) as f:
            return f.read()[since:]

    def mark(self):
        return os.path.getsize(self.log)

    def received(self, word, since):
        """The addresses that received a message with this command word since the mark."""
        return sorted(set(re.findall(r'^rx (\S+) %d$' % word, self.lines(since), re.M)))

    def tarvo(self, *args):
        """tarvo on the site machine, directly, as an operator would run it."""
        return subprocess.run(['nsenter', '--net=' + self.netns, self.args.tarvo, '--interface', '192.0.2.1']
                              + list(args), capture_output=True, text=True, timeout=60)


class Controller(object):
    """The collection built and installed, an inventory of both sites, ansible-playbook."""

    def __init__(self, work, args):
        self.work = work
        subprocess.run(['ansible-galaxy', 'collection', 'build', args.collection, '--output-path', work],
                       check=True, stdout=subprocess.DEVNULL)
        tarball = [f for f in os.listdir(work) if f.endswith('.tar.gz')][0]
        subprocess.run(['ansible-galaxy', 'collection', 'install', '-p', os.path.join(work, 'collections'),
                        os.path.join(work, tarball)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        hosts = {'site-' + s: dict(ansible_host=os.environ['TARVO_SITE_%s_SSH' % s.upper()]) for s in SITES}
        inventory = dict(all=dict(children=dict(sites=dict(hosts=hosts, vars=dict(
            ansible_port=int(os.environ['TARVO_SSH_PORT']), ansible_user='root',
            ansible_ssh_private_key_file=os.environ['TARVO_SSH_KEY'],
            ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null',
            ansible_python_interpreter='/usr/bin/python3',
            tarvo_interface='192.0.2.1', tarvo_path=os.path.abspath(args.tarvo))))))
        with open(os.path.join(work, 'inventory.json'), 'w') as f:
            json.dump(inventory, f)
        # The site machines share this machine's files: their temporary folder is here.
        self.remote_tmp = os.path.join(work, 'remote-tmp')
        self.env = dict(os.environ, ANSIBLE_HOME=os.path.join(work, 'home'),
                        ANSIBLE_COLLECTIONS_PATH=os.path.join(work, 'collections'),
                        ANSIBLE_INVENTORY=os.path.join(work, 'inventory.json'),
                        ANSIBLE_LOCAL_TEMP=os.path.join(work, 'local-tmp'),
                        ANSIBLE_REMOTE_TEMP=self.remote_tmp,
                        ANSIBLE_SSH_CONTROL_PATH_DIR=os.path.join(work, 'cp'),
                        ANSIBLE_STDOUT_CALLBACK='results',
                        ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, 'callback_plugins'),
                        ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_NOCOLOR='1')

    def play(self, playbook, *options, **extra):
        """Runs a playbook; returns (exit code, {host: [task results]}, stats)."""
        cmd = ['ansible-playbook', os.path.join(HERE, playbook)] + list(options)
        if extra:
            cmd += ['-e', json.dumps(extra)]
        run = subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=600)
        try:
            doc = json.loads(run.stdout)
        except ValueError:
            print(run.stdout[-3000:], run.stderr[-3000:], sep='\n')
            raise
        results = {}
        for row in doc['results']:
            results.setdefault(row['host'], []).append(dict(row['result'], task=row['task']))
        return run.returncode, results, doc['stats']



def doc_playbooks(folder):
    """Writes every playbook of docs/SITES.md (a yaml block that is a list of
    plays) into folder; returns {play name: path}."""
    with open(SITES_MD) as f:
        blocks = re.findall(r'^```yaml\n(.*?)^```', f.read(), re.M | re.S)
    plays = {}
    for block in blocks:
        name = re.match(r'- name: (.+)\n', block)
        if name:
            plays[name.group(1)] = os.path.join(folder, 'doc-%d.yml' % len(plays))
            with open(plays[name.group(1)], 'w') as f:
                f.write('---\n' + block)
    return plays


def task(results, host, name):
    found = [r for r in results.get(host, []) if r['task'] == name]
    return found[-1] if found else {}


def looped(result):
    """{node: its result} of a task that looped over tarvo_nodes, or of one
    that ran for many nodes at once (a row a node)."""
    return {(r['item'] if 'item' in r else r)['address']: r for r in result.get('results', [])}


def node_diff(result, address):
    """The diff of one node in a task's result: a loop's item, or an entry of
    a task's list of diffs."""
    diffs = result.get('diff', [])
    for d in diffs if isinstance(diffs, list) else [diffs]:
        if address in d.get('before_header', ''):
            return d
    return {}


def upgrade_file(args, work):
    """Tarvo_v2.05.upg, made by tarvo-production from a raw image of ours."""
    raw = bytearray((i * 7 + (i >> 9)) & 0xff for i in range(0x1FFC0)) + bytearray(64)
    raw[0x1FFD0:0x1FFD5] = b'v2.05'
    path = os.path.join(work, 'image.bin')
    with open(path, 'wb') as f:
        f.write(raw)
    made = subprocess.run([args.production, 'upgrade', path, '-o', work], capture_output=True, text=True,
                          check=True)
    return made.stdout.strip()


def facts_plays(controller, sites, serials, playbook):
    for mode in ('--check', None):
        rc, results, dummy = controller.play(playbook, *filter(None, [mode]))
        for site in sites:
            facts = task(results, site.host, 'Find the nodes').get('ansible_facts', {})
            nodes = facts.get('tarvo_nodes', [])
            check(rc == 0 and [n['address'] for n in nodes] == ADDRESSES and facts.get('tarvo_problems') == []
                  and task(results, site.host, 'Show them').get('msg') == serials[site.name],
                  'facts%s: %s reports its own three nodes at the shared addresses, and no problems'
                  % (' in check mode' if mode else '', site.host), (rc, results))


def differ_from(preset, site):
    return [a for a in ADDRESSES if a != preset[site.name]]


def config_plays(controller, sites, contract, playbook):
    # One node per site already has the wanted value: site a's second, site b's third.
    preset = {'a': ADDRESSES[1], 'b': ADDRESSES[2]}
    for site in sites:
        path = os.path.join(controller.work, 'preset-%s.json' % site.name)
        site.tarvo('config', 'get', preset[site.name], '-o', path)
        with open(path) as f:
            config = json.load(f)
        config['ports'][1]['universe'] = 7
        with open(path, 'w') as f:
            json.dump(config, f)
        site.tarvo('config', 'set', preset[site.name], path)

    if contract:
        marks = {s.name: s.mark() for s in sites}
        rc, results, stats = controller.play(playbook, '--check')
        for site in sites:
            items = looped(task(results, site.host, 'Configure the nodes'))
            check(rc == 0 and sorted(a for a, r in items.items() if r.get('changed')) == differ_from(preset, site)
                  and site.received(SET_CONFIG, marks[site.name]) == [],
                  'config: check mode on %s predicts the writes and sends no SetConfig' % site.host, (rc, items))

    marks = {s.name: s.mark() for s in sites}
    rc, results, stats = controller.play(playbook, '--diff')
    for site in sites:
        differ = differ_from(preset, site)
        items = looped(task(results, site.host, 'Configure the nodes'))
        check(rc == 0 and sorted(a for a, r in items.items() if r.get('changed')) == differ
              and site.received(SET_CONFIG, marks[site.name]) == differ,
              'config: on %s exactly the nodes that differ are written' % site.host, (rc, items))
        diff = node_diff(task(results, site.host, 'Configure the nodes'), differ[0])
        check('ports[1].universe: 2' in diff.get('before', '') and 'ports[1].universe: 7' in diff.get('after', ''),
              'config: the diff shows the field on %s' % site.host, diff)

    rc, results, stats = controller.play(playbook)
    check(rc == 0 and all(stats[s.host]['changed'] == 0 for s in sites), 'config: a second run changes nothing', stats)

    # A list of names, and a write onto another node's address: refused,
    # in check mode too, and nothing sent.
    if contract:
        marks = {s.name: s.mark() for s in sites}
        for mode in ('--check', None):
            rc, results, dummy = controller.play('patch.yml', *filter(None, [mode]), names=[ADDRESSES[1], ADDRESSES[2]],
                                                 fields={'network.ip': ADDRESSES[0]})
            for site in sites:
                result = task(results, site.host, 'Patch the nodes')
                check(rc != 0 and result.get('failed')
                      and '%s is held by' % ADDRESSES[0] in result.get('msg', '')
                      and site.received(SET_CONFIG, marks[site.name]) == [],
                      'config: a list of nodes onto a held address fails on %s%s, sending nothing'
                      % (site.host, ' in check mode' if mode else ''), result)

    # In check mode, with a file on the site machine instead of a dict.
    src = os.path.join(controller.work, 'wanted.json')
    with open(src, 'w') as f:
        json.dump(dict(format='tarvo-config', version=1, label='Renamed', ports=[{}, dict(universe=9)]), f)
    if not contract:
        skip('config: check mode', 'this tarvo has no --dry-run')
        return
    marks = {s.name: s.mark() for s in sites}
    rc, results, stats = controller.play('config.yml', '--check', '--diff', config_src=src)
    for site in sites:
        items = looped(task(results, site.host, 'Configure the nodes'))
        check(rc == 0 and all(r.get('changed') for r in items.values()) and len(items) == 3
              and site.received(SET_CONFIG, marks[site.name]) == [],
              'config: check mode on %s predicts every write and sends no SetConfig' % site.host, (rc, items))


def firmware_plays(controller, sites, contract, upg, playbook):
    if not contract:
        skip('firmware: check mode, serial upgrade, failing node', 'this tarvo has no --yes and no --dry-run')
        return
    # The playbook's file, beside it on the controller.
    shutil.copy(upg, os.path.join(os.path.dirname(playbook), 'Tarvo_v2.05.upg'))
    marks = {s.name: s.mark() for s in sites}
    rc, results, dummy = controller.play(playbook, '--check')
    left = [f for dummy, dummy, files in os.walk(controller.remote_tmp) for f in files]
    check(rc == 0 and all(task(results, s.host, 'Upgrade the nodes').get('changed') for s in sites)
          and all(s.received(ERASE, marks[s.name]) == [] for s in sites) and left == [],
          'firmware: check mode predicts the upgrade, erases nothing and leaves no file behind', (results, left))

    rc, results, stats = controller.play(playbook)
    for site in sites:
        rows = task(results, site.host, 'Upgrade the nodes').get('results', [])
        check(rc == 0 and sorted(r['address'] for r in rows if r['result'] == 'verified') == ADDRESSES,
              'firmware: serial 1 upgrades and verifies every node of %s' % site.host, (rc, rows))

    # Site a is at v2.05 already; one of site b's nodes, fresh at v1.00, gets
    # its checksum wrong. The file is on the site machines this time.
    sites[1].start(faults={ADDRESSES[1]: {'wrong-crc': True}})
    rc, results, stats = controller.play('firmware.yml', upgrade_file=upg)
    a = task(results, sites[0].host, 'Upgrade the nodes')
    b = task(results, sites[1].host, 'Upgrade the nodes')
    check(not a.get('failed') and not a.get('changed') and stats[sites[0].host]['failures'] == 0,
          'firmware: a site already at the version changes nothing', a)
    check(rc != 0 and b.get('failed') and ADDRESSES[1] in b.get('msg', '') and 'checksum' in b.get('msg', ''),
          'firmware: the failing node fails its site\'s task with the reason', b)


def backup_plays(controller, sites, contract, serials, playbook):
    if not contract:
        skip('backup', 'this tarvo has no --yes')
        return
    dest = os.path.join(os.path.dirname(playbook), 'backups')
    rc, results, stats = controller.play(playbook, '--check', '--diff')
    for site in sites:
        diff = task(results, site.host, 'Back up the nodes').get('diff') or []
        check(rc == 0 and not os.path.exists(dest) and len(diff) == 3
              and all(d['before'] == '' and '"tarvo-config"' in d['after'] for d in diff),
              'backup: check mode shows %s\'s three new files and writes none' % site.host, (rc, diff))
    rc, results, stats = controller.play(playbook)
    for site in sites:
        folder = os.path.join(dest, site.host)
        names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(rc == 0 and names == [s + '.json' for s in serials[site.name]],
              'backup: %s\'s files on the controller, one per node' % site.host, (rc, names, results))
    rc, results, stats = controller.play(playbook)
    check(rc == 0 and all(stats[s.host]['changed'] == 0 for s in sites), 'backup: unchanged files are kept', stats)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarvo', required=True)
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--production', required=True)
    parser.add_argument('--collection', default=COLLECTION)
    args = parser.parse_args()
    if not shutil.which('ansible-playbook'):
        print('two_sites: no ansible-playbook here; skipping', file=sys.stderr)
        return 77

    # tarvo before its JSON envelope has neither --yes nor --dry-run: only
    # what works without them can pass.
    contract = '--dry-run' in subprocess.run([args.tarvo, '--help'], capture_output=True, text=True).stdout
    work = tempfile.mkdtemp(prefix='two-sites-')
    sites = [Site(s, work, args) for s in SITES]
    try:
        serials = {s.name: s.start() for s in sites}
        controller = Controller(work, args)
        os.mkdir(os.path.join(work, 'doc'))
        doc = doc_playbooks(os.path.join(work, 'doc'))
        if not check(sorted(doc) == sorted([FACTS, CONFIG, FIRMWARE, BACKUP]),
                     'the playbooks of docs/SITES.md are the ones this test runs', sorted(doc)):
            return 1
        facts_plays(controller, sites, serials, doc[FACTS])
        config_plays(controller, sites, contract, doc[CONFIG])
        firmware_plays(controller, sites, contract, upgrade_file(args, work), doc[FIRMWARE])
        backup_plays(controller, sites, contract, serials, doc[BACKUP])
    finally:
        for site in sites:
            site.stop()
        shutil.rmtree(work, ignore_errors=True)
    print('two_sites: %(passed)d passed, %(failed)d failed, %(skipped)d skipped' % checks)
    return 1 if checks['failed'] else 0


if __name__ == '__main__':
    sys.exit(main())
