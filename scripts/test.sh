#!/bin/sh
# test.sh - install what the tests need, build murvane and run the whole suite.
set -eu
cd "$(dirname "$0")/.."
# Postfix first: it must be told not to configure itself before it unpacks.
sh scripts/postfix-deps.sh
sh scripts/deps.sh g++ make cmake libdb5.3-dev libgtest-dev db5.3-util \
    faketime libfaketime python3 mandoc man-db
sh scripts/build.sh build
# The bench as a smoke run: every phase at tiny sizes, no figure judged; the
# report goes to build-bench/report/report.md.
sh bench/run.sh --smoke >/dev/null
(cd build && ctest --output-on-failure -j "$(nproc)")
# Each fuzz target for 20 seconds (clang, libFuzzer); any finding fails.
sh fuzz/run.sh 20
# The whole suite a second time under AddressSanitizer and
# UndefinedBehaviorSanitizer, built with warnings as errors.
sh scripts/build.sh build-asan -DMURVANE_SANITIZE=ON -DMURVANE_WERROR=ON
cd build-asan
ctest --output-on-failure -j "$(nproc)"
