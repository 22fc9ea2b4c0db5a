#!/bin/sh
# deps.sh - install the Debian packages named on the command line that are
# not installed yet. Used by the run, test and bench commands; needs root or
# sudo only when something is missing.
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
echo "Installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
$as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing >/dev/null
