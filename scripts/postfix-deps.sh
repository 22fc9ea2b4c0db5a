#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# postfix-deps.sh - install Postfix for the end-to-end test without letting
# the package configure or start the system's own mail server.
#
# The test builds a private instance of its own in a temporary directory; the
# distribution's instance (port 25, /etc/postfix) must never run. So debconf
# is told "No configuration" before the package is unpacked; deps.sh keeps
# the install from starting any service, as it does for every package.
set -eu
cd "$(dirname "$0")/.."

if dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q '^install ok installed$'; then
    exit 0
fi

as_root=""
if [ "$(id -u)" != 0 ]; then
    as_root="sudo"
fi

echo "postfix postfix/main_mailer_type select No configuration" |
    $as_root debconf-set-selections

sh scripts/deps.sh postfix
