#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# try.sh - build murvane and run it on a local environment home (./var/murvane),
# answering policy requests typed or pasted on the terminal. Any arguments are
# passed on to the daemon (for example -g 60 for a one-minute delay).
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh build-run -DMURVANE_TESTS=OFF >/dev/null
mkdir -p var/murvane
echo "murvane is reading policy requests; paste one (it ends with an empty line), Ctrl-D to stop." >&2
exec build-run/murvane -h var/murvane "$@"
