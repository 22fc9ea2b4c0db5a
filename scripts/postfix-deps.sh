#!/bin/sh
# postfix-deps.sh - install Postfix for the end-to-end test without letting
# the package configure or start the system's own mail server.
#
# The test builds a private instance of its own in a temporary directory; the
# distribution's instance (port 25, /etc/postfix) must never run. So debconf
# is told "No configuration" before the package is unpacked, and while it
# installs, a policy-rc.d that refuses every service start is put in place
# unless the machine already has one.
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

guard=/usr/sbin/policy-rc.d
made_guard=""
if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\n# put here by murvane scripts/postfix-deps.sh during an install\nexit 101\n' |
        $as_root tee "$guard" >/dev/null
    $as_root chmod 755 "$guard"
    made_guard=yes
fi
remove_guard() {
    if [ -n "$made_guard" ]; then
        $as_root rm -f "$guard"
    fi
}
trap remove_guard EXIT
trap 'exit 1' HUP INT TERM

sh scripts/deps.sh postfix
