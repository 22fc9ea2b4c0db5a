#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# auto_whitelist.sh - throughput and CPU per request of the daemon with
# --auto-whitelist 5 against without, at 1 and 4 connections, on new triplets
# (each request a new triplet: deferred, plus the client lookup) and on known
# ones (triplets passed before: each request also keeps its client current).
#
#   sh bench/auto_whitelist.sh [--build DIR] [--rounds N] [--seconds T]
#
# DIR (default build-bench) must hold murvane and bench/bench_driver, built
# with -DMURVANE_BENCH=ON. The machine is shared, so the two daemons take
# turns: each round runs both, the order alternating, and the ratio of a
# round is taken against the same round's plain figure; the report gives
# the median ratio of the rounds and the median figures of each daemon.
# Output: one line per run on standard error, the table on standard output.
set -eu
cd "$(dirname "$0")/.."

build=build-bench
rounds=9
seconds=1.2
known=2000
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift ;;
        --rounds) rounds=$2; shift ;;
        --seconds) seconds=$2; shift ;;
        *) echo "usage: sh bench/auto_whitelist.sh [--build DIR] [--rounds N] [--seconds T]" >&2
           exit 2 ;;
    esac
    shift
done
murvane=$(pwd)/$build/murvane
driver=$(pwd)/$build/bench/bench_driver
[ -x "$murvane" ] && [ -x "$driver" ] || {
    echo "auto_whitelist.sh: build $build with -DMURVANE_BENCH=ON first" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/murvane-awl.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
results=$work/results
: > "$results"

# args CONFIG - the daemon's options of a configuration.
args() {
    case $1 in
        plain) echo "-g 2" ;;
        awl) echo "-g 2 --auto-whitelist 5" ;;
    esac
}

# The known set, made known and passed in each home: asked once, the delay
# waited out, asked again.
for config in plain awl; do
    mkdir "$work/$config"
    for pass in 1 2; do
        # shellcheck disable=SC2046
        "$driver" --connections 1 --warmup 0 --requests "$known" --seconds 600 \
            --new k -- "$murvane" -h "$work/$config" $(args $config) >/dev/null
        [ "$pass" = 2 ] || sleep 3
    done
done

# measure CONFIG CONNECTIONS STREAM ROUND
measure() {
    if [ "$3" = new ]; then
        triplets="--new n$4c$2$1"
    else
        triplets="--known k $known"
    fi
    # shellcheck disable=SC2046,SC2086
    line=$("$driver" --connections "$2" --seconds "$seconds" $triplets \
        -- "$murvane" -h "$work/$1" $(args $1))
    echo "$1 $2 $3 $4 $line" >&2
    rps=$(printf '%s\n' "$line" | sed -n 's/.* rps=\([0-9.]*\).*/\1/p')
    cpu=$(printf '%s\n' "$line" | sed -n 's/.* cpu_us=\([0-9.]*\).*/\1/p')
    echo "$1 $2 $3 $4 $rps $cpu" >> "$results"
}

round=1
while [ "$round" -le "$rounds" ]; do
    for connections in 1 4; do
        for stream in new known; do
            if [ $((round % 2)) = 1 ]; then order="plain awl"; else order="awl plain"; fi
            for config in $order; do
                measure "$config" "$connections" "$stream" "$round"
            done
        done
    done
    round=$((round + 1))
done

# The table: medians per configuration, and the median of the round ratios.
echo "| connections | triplets | plain req/s | with --auto-whitelist 5 req/s | ratio (median of rounds) | plain CPU us/req | with CPU us/req |"
echo "|---|---|---|---|---|---|---|"
for connections in 1 4; do
    for stream in new known; do
        awk -v c="$connections" -v s="$stream" '
            function median(a, n,    i, j, t) {
                for (i = 2; i <= n; i++)
                    for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            $2 == c && $3 == s { rps[$1, $4] = $5; cpu[$1, $4] = $6; rounds[$4] = 1 }
            END {
                n = 0
                for (r in rounds) {
                    n++
                    pr[n] = rps["plain", r]; ar[n] = rps["awl", r]
                    pc[n] = cpu["plain", r]; ac[n] = cpu["awl", r]
                    ratio[n] = rps["awl", r] / rps["plain", r]
                }
                printf "| %s | %s | %.0f | %.0f | %.3f | %.1f | %.1f |\n", c, s,
                    median(pr, n), median(ar, n), median(ratio, n), median(pc, n), median(ac, n)
            }' "$results"
    done
done
