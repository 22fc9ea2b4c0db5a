#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# build.sh DIR [cmake options...] - configure and build murvane in DIR.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh g++ make cmake libdb5.3-dev libspf2-dev libpsl-dev
dir=$1
shift
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
