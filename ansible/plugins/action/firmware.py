# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

"""tarvo.nodes.firmware on the controller: unless remote_src, the upgrade
file is the controller's, and goes into the task's temporary folder on the
site machine, which is removed with it. In check mode too, as unarchive
does: the plan reads the file's version, and nothing stays behind."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import re

from ansible.errors import AnsibleError
from ansible.module_utils.common.text.converters import to_text
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase

# tarvo refuses anything above 512 KiB: a larger file is not worth sending.
MAX_UPLOAD = 1024 * 1024
# The file keeps its name on the site machine (tarvo's messages show it)
# when the name is a plain one.
PLAIN_NAME = re.compile(r'^[A-Za-z0-9_][A-Za-z0-9._-]{0,99}$')


class ActionModule(ActionBase):

    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp  # the connection's own temporary folder is used
        args = dict(self._task.args)
        try:
            try:
                remote_src = boolean(args.get('remote_src', False), strict=True)
            except TypeError as e:
                return dict(result, failed=True, msg='remote_src: %s' % to_text(e))
            src = args.get('src')
            # Without a usable src the module reports the mistake as for any option.
            if not remote_src and isinstance(src, str) and src:
                try:
                    local = self._loader.get_real_file(self._find_needle('files', os.path.expanduser(src)))
                except AnsibleError as e:
                    return dict(result, failed=True, msg=to_text(e))
                size = os.path.getsize(local)
                if size > MAX_UPLOAD:
                    return dict(result, failed=True,
                                msg='%s is no upgrade file: %d bytes, at most %d' % (src, size, MAX_UPLOAD))
                name = os.path.basename(src)
                shell = self._connection._shell
                remote = shell.join_path(shell.tmpdir, name if PLAIN_NAME.match(name) else 'upgrade.upg')
                self._transfer_file(local, remote)
                self._fixup_perms2((shell.tmpdir, remote))
                args['src'] = remote
            result.update(self._execute_module(module_name='tarvo.nodes.firmware', module_args=args,
                                               task_vars=task_vars))
            return result
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
