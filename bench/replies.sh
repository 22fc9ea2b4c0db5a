#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# replies.sh - throughput and CPU per request of the daemon with --replies
# against the plain daemon, at 1 and 4 connections, on three streams of
# requests:
#   user     authenticated users' mail (sasl_username), each to an outside
#            address not written to before: with --replies answered DUNNO
#            and its pair written (one in five goes to the site's own
#            domain, example.org, and teaches nothing); the plain daemon
#            greylists it as a new triplet;
#   inbound  new triplets of strangers (deferred): with --replies each also
#            looks for a pair and finds none;
#   reply    new triplets that answer pairs learned just before the run
#            (learned on both homes, unmeasured): with --replies let through
#            at once, the pair counted; the plain daemon defers them.
#
#   sh bench/replies.sh [--build DIR] [--rounds N] [--seconds T]
#
# DIR (default build-bench) must hold murvane and bench/bench_driver, built
# with -DMURVANE_BENCH=ON. The machine may be shared, so the two daemons
# take turns: each round runs both, the order alternating from round to
# round, and the ratio of a round is taken against the same round's plain
# figure; the report gives the median and range of the round ratios and the
# median figures of each configuration. Output: one line per run on standard
# error, the table on standard output.
set -eu
cd "$(dirname "$0")/.."

build=build-bench
rounds=7
seconds=1.0
learned=3000
usage="usage: sh bench/replies.sh [--build DIR] [--rounds N] [--seconds T]"
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift ;;
        --rounds) rounds=$2; shift ;;
        --seconds) seconds=$2; shift ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
    shift
done
murvane=$(pwd)/$build/murvane
driver=$(pwd)/$build/bench/bench_driver
[ -x "$murvane" ] && [ -x "$driver" ] || {
    echo "replies.sh: build $build with -DMURVANE_BENCH=ON first" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/murvane-replies.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
results=$work/results
: > "$results"
configs="plain replies"

# args CONFIG - the daemon's options of a configuration.
args() {
    case $1 in
        plain) echo "-g 2" ;;
        replies) echo "-g 2 --replies" ;;
    esac
}

for config in $configs; do
    mkdir "$work/$config"
done

# measure CONFIG CONNECTIONS STREAM ROUND
measure() {
    space=$3$4c$2
    case $3 in
        user) triplets="--new $space --from-user" ;;
        inbound) triplets="--new $space" ;;
        reply) triplets="--new $space" ;;
    esac
    # A reply run must stay within the pairs learned for it.
    # shellcheck disable=SC2046,SC2086
    line=$("$driver" --connections "$2" --seconds "$seconds" --requests $((learned - 200)) \
        --warmup 20 $triplets -- "$murvane" -h "$work/$1" $(args "$1"))
    rps=$(printf '%s\n' "$line" | sed -n 's/.* rps=\([0-9.]*\).*/\1/p')
    cpu=$(printf '%s\n' "$line" | sed -n 's/.* cpu_us=\([0-9.]*\).*/\1/p')
    echo "$1 $2 $3 $4 $line" >&2
    echo "$1 $2 $3 $4 $rps $cpu" >> "$results"
}

round=1
while [ "$round" -le "$rounds" ]; do
    if [ $((round % 2)) = 1 ]; then order="plain replies"; else order="replies plain"; fi
    for connections in 1 4; do
        # The users' mail the replies of this round answer, on both homes.
        for config in $configs; do
            # shellcheck disable=SC2046
            "$driver" --connections 1 --warmup 0 --requests "$learned" --seconds 600 \
                --new "reply${round}c$connections" --from-user \
                -- "$murvane" -h "$work/$config" $(args "$config") >/dev/null
        done
        for stream in user inbound reply; do
            for config in $order; do
                measure "$config" "$connections" "$stream" "$round"
            done
        done
    done
    round=$((round + 1))
done

echo "| connections | requests | configuration | req/s (median) | ratio to plain, median of $rounds rounds | range of the round ratios | daemon CPU us/request (median) |"
echo "|---|---|---|---|---|---|---|"
for connections in 1 4; do
    for stream in user inbound reply; do
        for config in $configs; do
            awk -v c="$connections" -v s="$stream" -v k="$config" '
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
                        kr[n] = rps[k, r]; kc[n] = cpu[k, r]
                        ratio[n] = rps[k, r] / rps["plain", r]
                        if (n == 1 || ratio[n] < lo) lo = ratio[n]
                        if (n == 1 || ratio[n] > hi) hi = ratio[n]
                    }
                    printf "| %s | %s | %s | %.0f | %.3f | %.2f-%.2f | %.1f |\n", c, s, k,
                        median(kr, n), median(ratio, n), lo, hi, median(kc, n)
                }' "$results"
        done
    done
done
