#!/bin/sh
# run.sh - install what the bench needs, build it, run it, plot it.
#
#   sh bench/run.sh [--smoke] [--no-peer] [--build DIR] [--out DIR] [--keep]
#                   [--section NAME]...
#
# The full run takes about ten minutes and up to 1.5 GB of disk; --smoke
# runs every phase with tiny sizes in a minute or two and judges no figure.
# The report goes to standard output and to OUT/report.md (OUT defaults to
# DIR/report, DIR to build-bench), the plot to OUT/throughput.png.
set -eu
cd "$(dirname "$0")/.."

smoke=""
peer=""
build=build-bench
out=""
keep=""
sections=""
while [ $# -gt 0 ]; do
    case $1 in
        --smoke) smoke=--smoke ;;
        --no-peer) peer=--no-peer ;;
        --build) build=$2; shift ;;
        --out) out=$2; shift ;;
        --keep) keep=yes ;;
        --section) sections="$sections --section $2"; shift ;;
        *) echo "usage: sh bench/run.sh [--smoke] [--no-peer] [--build DIR] [--out DIR] [--keep] [--section NAME]..." >&2
           exit 2 ;;
    esac
    shift
done
[ -n "$out" ] || out=$build/report

packages="g++ make cmake libdb5.3-dev db5.3-util gnuplot-nox"
[ -n "$peer" ] || packages="$packages postgrey"
# shellcheck disable=SC2086
sh scripts/deps.sh $packages

# The peer's own service, if its package started one, would share the
# machine with the measured processes: stop it, by the PID it recorded.
if [ -z "$peer" ] && [ -r /run/postgrey.pid ]; then
    pid=$(cat /run/postgrey.pid)
    if [ -n "$pid" ] && grep -q postgrey "/proc/$pid/cmdline" 2>/dev/null; then
        echo "bench: stopping the distribution's postgrey service (pid $pid)" >&2
        kill "$pid"
        i=0
        while [ -d "/proc/$pid" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    fi
fi

cmake -S . -B "$build" -DMURVANE_TESTS=OFF -DMURVANE_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target murvane bench_driver bench_floor bench_least \
    bench_batch_locks bench_suite malloc_count bench_syslog_capture >/dev/null

mkdir -p "$out"
work=$build/bench-work
status=0
# shellcheck disable=SC2086
"$build/bench/bench_suite" --build "$build" --work "$work" --out "$out" $smoke $peer $sections || status=$?
[ -n "$keep" ] || rm -rf "$work"

if [ -s "$out/throughput.dat" ]; then
    gnuplot -e "datafile='$out/throughput.dat'; outfile='$out/throughput.png'" bench/throughput.gp
    echo "bench: plot in $out/throughput.png, report in $out/report.md" >&2
fi
exit $status
