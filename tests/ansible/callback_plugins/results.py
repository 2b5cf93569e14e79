# -*- coding: utf-8 -*-
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The play's results as one JSON object on standard output, for the tests:
{"results": [{"task", "host", "result"}...], "stats": {host: counts}}.
(Debian's ansible-core has no json callback.)"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: results
type: stdout
short_description: the play's results as JSON, for tests
description: One JSON object with every task result and the stats.
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'results'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.results = []

    def _record(self, result, **extra):
        self.results.append(dict(task=result._task.get_name(), host=result._host.get_name(),
                                 result=dict(result._result, **extra)))

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_playbook_on_stats(self, stats):
        hosts = sorted(stats.processed.keys())
        self._display.display(json.dumps(dict(results=self.results,
                                              stats={h: stats.summarize(h) for h in hosts}), default=str))
