#!/bin/sh
# test.sh - install what the tests need, build murvane and run the whole suite.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh g++ make cmake libdb5.3-dev libgtest-dev db5.3-util \
    faketime libfaketime
sh scripts/build.sh build
cd build
ctest --output-on-failure -j "$(nproc)"
