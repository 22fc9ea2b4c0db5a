#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# spdx_check.sh SOURCE_DIR - every source file of the project states its
# license in its first lines: "SPDX-License-Identifier: BSD-2-Clause" on the
# first line, or on the second after a "#!" line. Covers src/, tests/, bench/,
# fuzz/ (but for the fuzzers' seed inputs, which are data) and scripts/, and
# the top CMakeLists.txt. Prints each file without it and fails.
set -eu
cd "$1"
tag='SPDX-License-Identifier: BSD-2-Clause'
missing=0
checked=0
files=$(find src tests bench fuzz scripts -path fuzz/corpus -prune -o -type f -print | sort)
for f in CMakeLists.txt $files; do
    checked=$((checked + 1))
    if head -n 1 "$f" | grep -q '^#!'; then
        line=$(sed -n 2p "$f")
    else
        line=$(sed -n 1p "$f")
    fi
    case $line in
        "// $tag" | "# $tag") ;;
        *)
            echo "spdx_check: $f: no \"$tag\" line at its start" >&2
            missing=$((missing + 1))
            ;;
    esac
done
if [ "$checked" -lt 100 ]; then
    echo "spdx_check: only $checked files found under $1: not a source tree?" >&2
    exit 1
fi
if [ "$missing" -gt 0 ]; then
    echo "spdx_check: $missing of $checked files without the license line" >&2
    exit 1
fi
echo "spdx_check: $checked files, each with the license line"
