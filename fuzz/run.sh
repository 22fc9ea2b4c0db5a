#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# run.sh [seconds] - build the fuzz targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and run each for a bounded time, 20 seconds
# by default. Any finding fails the run; its input is kept under
# $MURVANE_FUZZ_BUILD/findings/<target>/ for replay:
#   $MURVANE_FUZZ_BUILD/fuzz/<target> <file>
# The seed corpus in fuzz/corpus/<target>/ is only read; what the fuzzer finds
# on the way goes to a scratch directory inside the build directory.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${MURVANE_FUZZ_BUILD:-build-fuzz}
targets="fuzz_request_reader fuzz_triplet_key fuzz_action fuzz_v0_key fuzz_dump_line fuzz_spf"

sh scripts/deps.sh clang libclang-rt-14-dev cmake make libdb5.3-dev libspf2-dev libpsl-dev
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMURVANE_FUZZ=ON -DMURVANE_TESTS=OFF -DMURVANE_WERROR=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" -j "$(nproc)" --target $targets

failed=""
for target in $targets; do
    scratch="$dir/corpus/$target"
    findings="$dir/findings/$target"
    mkdir -p "$scratch" "$findings"
    echo "fuzzing $target for $seconds seconds"
    if ! "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$scratch" "fuzz/corpus/$target" \
            >"$dir/$target.log" 2>&1; then
        tail -n 40 "$dir/$target.log"
        failed="$failed $target"
    else
        grep -E '^(stat::number_of_executed_units|Done)' "$dir/$target.log" || true
    fi
done
if [ -n "$failed" ]; then
    echo "fuzzing found faults in:$failed" >&2
    exit 1
fi
echo "fuzzing: no findings"
