# -*- coding: utf-8 -*-
# Copyright: 2026 Tarvo configurator maintainers
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    # The options every module passes on to tarvo.
    DOCUMENTATION = r'''
options:
  interface:
    description:
      - The site machine's interface on the nodes' network, by name (C(eth1)) or by one of its IPv4 addresses.
      - Without it, C(tarvo) takes C(TARVO_INTERFACE) from the environment, else the machine's only IPv4 address.
    type: str
  timeout:
    description:
      - Milliseconds the nodes have to answer discovery, a connection or a request (C(tarvo --timeout)).
      - Without it, C(tarvo)'s default, 1000.
    type: int
  tarvo_path:
    description:
      - The C(tarvo) program on the site machine.
      - Without it, C(TARVO_PATH) from the environment, else C(tarvo) on the C(PATH).
    type: path
attributes:
  platform:
    platforms: posix
requirements:
  - C(tarvo) on the site machine (Debian package C(tarvo-configurator)), with an interface on the nodes' network.
notes:
  - The modules run on the site machine, one C(tarvo) run at a time per task. Discovery is a broadcast that stops
    at the first router, so every site needs a machine of its own on the nodes' network.
'''
