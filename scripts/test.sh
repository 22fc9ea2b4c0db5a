#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# test.sh - install what the tests need, build murvane and run the whole suite.
#
# Runs from any checkout, as root or as a user with sudo. What needs root is
# asked of sudo when the user is not root: apt-get, when a package is
# missing (scripts/deps.sh), and the Postfix tests, whose private Postfix
# masters run as root (ctest alone would skip them, exit 77).
set -eu
cd "$(dirname "$0")/.."
# Postfix first: it must be told not to configure itself before it unpacks.
sh scripts/postfix-deps.sh
# manpages-dev: the manual page's lint checks that the pages it refers to
# exist, and ctime(3) and syslog(3) come with it. dnsmasq-base: the DNS
# server the --spf tests start in a network namespace of their own.
sh scripts/deps.sh g++ make cmake libdb5.3-dev libspf2-dev libpsl-dev libgtest-dev db5.3-util \
    faketime libfaketime python3 mandoc man-db manpages-dev dnsmasq-base

# run_suite DIR - the whole suite of the build in DIR. The Postfix tests run
# Postfix's master, which needs root: a user who is not root runs the rest as
# himself and those through sudo.
run_suite() {
    if [ "$(id -u)" = 0 ]; then
        (cd "$1" && ctest --output-on-failure -j "$(nproc)")
        return
    fi
    (cd "$1" && ctest --output-on-failure -j "$(nproc)" -LE postfix)
    echo "test.sh: the Postfix tests need root; asking sudo to run them" >&2
    status=0
    sudo -- ctest --test-dir "$1" --output-on-failure -L postfix || status=$?
    # ctest as root rewrote its records in the build directory: give them back.
    sudo -- chown -R "$(id -u):$(id -g)" "$1/Testing"
    return $status
}

sh scripts/build.sh build
# The bench as a smoke run: every phase at tiny sizes, no figure judged; the
# report goes to build-bench/report/report.md. The comparison peer is left
# out: it belongs to the full bench run (sh bench/run.sh) only.
sh bench/run.sh --smoke --no-peer >/dev/null
run_suite build
# Each fuzz target for 20 seconds (clang, libFuzzer); any finding fails.
sh fuzz/run.sh 20
# The whole suite a second time under AddressSanitizer and
# UndefinedBehaviorSanitizer, built with warnings as errors.
sh scripts/build.sh build-asan -DMURVANE_SANITIZE=ON -DMURVANE_WERROR=ON
run_suite build-asan
