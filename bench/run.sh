#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# run.sh - install what the bench needs, build it, run it, plot it.
#
#   sh bench/run.sh [--smoke] [--no-peer] [--build DIR] [--out DIR] [--keep]
#                   [--section NAME]... [--before MURVANE]
#
# The full run takes about ten minutes and up to 1.5 GB of disk; --smoke
# runs every phase with tiny sizes in a minute or two and judges no figure.
# --no-peer leaves the comparison peer (postgrey) out, and its package too.
# The peer runs as its own user in a private directory under $TMPDIR (or
# /tmp), never under the checkout, on 127.0.0.1; nothing the bench did not
# start is ever stopped. --before names the binary of an earlier murvane
# (built from an older commit) whose expiry stops section 4 measures beside
# this one's.
# The report goes to standard output and to OUT/report.md (OUT defaults to
# DIR/report, DIR to build-bench), the plot to OUT/throughput.png.
set -eu
cd "$(dirname "$0")/.."

smoke=""
peer=""
build="build-bench"
out=""
keep=""
sections=""
before=""
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) smoke=--smoke ;;
        --no-peer) peer=--no-peer ;;
        --build) build=$2; shift ;;
        --out) out=$2; shift ;;
        --keep) keep=yes ;;
        --section) sections="$sections --section $2"; shift ;;
        --before) before="--before $2"; shift ;;
        *) echo "usage: sh bench/run.sh [--smoke] [--no-peer] [--build DIR] [--out DIR] [--keep] [--section NAME]... [--before MURVANE]" >&2
           exit 2 ;;
    esac
    shift
done
[ -n "$out" ] || out=$build/report

# The peer's package only when the peer runs; deps.sh keeps its install from
# starting the distribution's service. If that service runs anyway (it was
# there before), it is left alone: the report says that it shared the machine.
packages="g++ make cmake libdb5.3-dev libspf2-dev libpsl-dev db5.3-util gnuplot-nox"
[ -n "$peer" ] || packages="$packages postgrey"
# shellcheck disable=SC2086
sh scripts/deps.sh $packages

cmake -S . -B "$build" -DMURVANE_TESTS=OFF -DMURVANE_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target murvane bench_driver bench_floor bench_least \
    bench_batch_locks bench_suite malloc_count bench_syslog_capture >/dev/null

mkdir -p "$out"
work=$build/bench-work
status=0
# shellcheck disable=SC2086
"$build/bench/bench_suite" --build "$build" --work "$work" --out "$out" $smoke $peer $sections $before || status=$?
[ -n "$keep" ] || rm -rf "$work"

if [ -s "$out/throughput.dat" ]; then
    gnuplot -e "datafile='$out/throughput.dat'; outfile='$out/throughput.png'" bench/throughput.gp
    echo "bench: plot in $out/throughput.png, report in $out/report.md" >&2
fi
if [ -s "$out/sweep.dat" ]; then
    gnuplot -e "datafile='$out/sweep.dat'; outfile='$out/sweep.png'" bench/sweep.gp
    echo "bench: plot of the expiry sweep in $out/sweep.png" >&2
fi
exit $status
