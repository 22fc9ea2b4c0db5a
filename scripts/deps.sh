#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# deps.sh PACKAGE... - install the Debian packages named on the command line
# that are not installed yet. Every install of the project's scripts goes
# through here. Needs root only when something is missing: apt-get then runs
# through sudo for a user who is not root.
#
# No install may start a system service: a package such as postgrey starts
# its daemon on a machine where services may start, and the project's tests
# and bench run private instances of their own instead. While apt-get runs,
# a policy-rc.d that refuses every service start is put in place, and removed
# afterwards; a machine that already has a policy-rc.d keeps its own, which
# is its admin's to choose, and ours is never written over it.
set -eu

missing=""
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

as_root=""
if [ "$(id -u)" != 0 ]; then
    as_root="sudo"
fi

guard=/usr/sbin/policy-rc.d
made_guard=""
if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\n# put here by murvane scripts/deps.sh during an install\nexit 101\n' |
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

echo "Installing:$missing" >&2
# sudo drops DEBIAN_FRONTEND from the environment; env puts it back.
$as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing >/dev/null
