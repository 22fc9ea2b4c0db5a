#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# install_check.sh CMAKE BUILD_DIR SOURCE_DIR - install murvane into a
# temporary prefix and check what lands there: the daemon in sbin, runnable;
# the manual page in man8, the same as docs/murvane.8, lint-clean, rendering,
# and naming every option the daemon's own usage text names.
set -u
cmake=$1 build=$2 source=$3

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
    echo "install_check: $*"
    failures=$((failures + 1))
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
    cat "$prefix/install.log"
    fail "cmake --install failed"
fi

daemon=$prefix/sbin/murvane
page=$prefix/share/man/man8/murvane.8
if [ ! -f "$daemon" ] || [ ! -x "$daemon" ]; then
    fail "no executable sbin/murvane"
fi
[ -f "$page" ] || fail "no share/man/man8/murvane.8"
if [ "$failures" -ne 0 ]; then
    exit 1
fi
cmp -s "$page" "$source/docs/murvane.8" || fail "installed page differs from docs/murvane.8"

# The installed daemon runs: the version line, then the usage on stdout.
usage=$("$daemon" -V --help </dev/null)
status=$?
[ "$status" -eq 0 ] || fail "murvane -V --help exited with $status"
[ "$(printf '%s\n' "$usage" | head -n 1)" = "murvane 0.4.0" ] ||
    fail "murvane -V printed no version line"

# Lint: mandoc writes its findings on standard output (its notes about the
# local manual database go to standard error and do not count); groff -ww
# warns on standard error about anything it cannot format.
if command -v mandoc >/dev/null 2>&1; then
    lint=$(mandoc -Tlint "$page" 2>/dev/null)
    status=$?
    # A reference to a manual this machine lacks (systemd's pages where
    # systemd is not installed) says nothing about the page itself.
    rest=$(printf '%s\n' "$lint" | grep -v 'STYLE: referenced manual not found' || true)
    if [ -n "$rest" ] || { [ "$status" -ne 0 ] && [ -z "$lint" ]; }; then
        fail "mandoc -Tlint ($status): $lint"
    fi
else
    echo "install_check: mandoc not installed, linting with groff alone"
fi
lint=$(groff -mandoc -ww -z "$page" 2>&1)
[ -z "$lint" ] || fail "groff -ww: $lint"

# The page renders, and documents every option of the usage text, with -6
# (missing from the usage's synopsis) and the long forms.
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES DIAGNOSTICS; do
    printf '%s\n' "$text" | grep -q "^$section\$" || fail "rendered page has no $section section"
done
options=$(printf '%s\n' "$usage" | grep -o -E -- '(^|[[ ])--?[A-Za-z/6][a-z0-9-]*' |
    sed 's/^[[ ]*//' | sort -u)
[ -n "$options" ] || fail "found no options in the usage text"
for option in $options; do
    printf '%s\n' "$text" | grep -q -F -e "$option" || fail "page does not mention $option"
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "install_check: sbin/murvane and man8/murvane.8 installed and checked"
