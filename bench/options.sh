#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# options.sh - throughput and CPU per request of the daemon with --spf, with
# --auto-whitelist 5, with both, and with --selective, against none of them,
# at 1 and 4 connections, on these streams of requests:
#   new     each request a new triplet of a client seen nowhere else
#           (deferred; with --auto-whitelist a look at its client's record);
#   known   triplets passed before (DUNNO);
#   listed  new triplets of 64 clients that have each passed 10 triplets
#           before: with --auto-whitelist they pass at once (the client's
#           record read and written), without it they are deferred;
#   suspect new triplets of clients named as home connections (no verified
#           name, a reverse name of the address, an address literal as
#           HELO: the name and HELO signs of --selective); every other
#           stream's clients are mail servers that show no sign, which
#           --selective lets through before any database work.
#
#   sh bench/options.sh [--build DIR] [--rounds N] [--seconds T] [--configs "C..."]
#                       [--streams "S..."]
#
# DIR (default build-bench) must hold murvane and bench/bench_driver, built
# with -DMURVANE_BENCH=ON. C is among plain, spf, awl, both, sel (--selective),
# dnsbl (--selective --dnsbl dnsbl.test, every address of which dnsmasq
# lists as 127.0.0.2: each client that shows no other sign is looked up,
# found listed and greylisted) (default the first four; plain is always
# run, every ratio is against it);
# S among new, known, listed, suspect (default the first three).
#
# The script runs in a network and mount namespace of its own (it re-runs
# itself under unshare; root needed): loopback only, dnsmasq on 127.0.0.1
# serving the SPF records of the workload's sender domains, and a
# resolv.conf naming it bind-mounted over /etc/resolv.conf for this
# namespace alone. No query leaves the namespace. The records make a mix of
# results for the workload's clients (all in 198.18.0.0/15, a sender domain
# of five per triplet, evenly):
#   example.net        v=spf1 ip4:198.18.0.0/15 -all   pass
#   example.com        v=spf1 ip4:198.18.0.0/16 -all   pass or fail, half each
#   example.org        v=spf1 ip4:198.19.0.0/16 ~all   pass or softfail, half each
#   lists.example.com  v=spf1 ?all                     neutral
#   mail.example.net   (no record)                     none
# so about 40% of the requests are keyed on their sender's domain.
#
# The machine is shared, so the daemons take turns: each round runs every
# configuration, the order rotating from round to round, and the ratio of a
# round is taken against the same round's plain figure; the report gives the
# median and range of the round ratios and the median figures of each
# configuration. Output: one line per run on standard error, the tables on
# standard output, then the DNS queries dnsmasq answered during one counted
# run of each configuration with --spf or --dnsbl.
set -eu
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."

build=build-bench
rounds=9
seconds=1.2
configs="plain spf awl both"
streams="new known listed"
known=2000
listed=64
usage="usage: sh bench/options.sh [--build DIR] [--rounds N] [--seconds T] [--configs \"C...\"] [--streams \"S...\"]"
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2; shift ;;
        --rounds) rounds=$2; shift ;;
        --seconds) seconds=$2; shift ;;
        --configs) configs=$2; shift ;;
        --streams) streams=$2; shift ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
    shift
done
case " $configs " in *" plain "*) ;; *) configs="plain $configs" ;; esac
for config in $configs; do
    case $config in plain|spf|awl|both|sel|dnsbl) ;; *) echo "$usage" >&2; exit 2 ;; esac
done
for stream in $streams; do
    case $stream in new|known|listed|suspect) ;; *) echo "$usage" >&2; exit 2 ;; esac
done
murvane=$(pwd)/$build/murvane
driver=$(pwd)/$build/bench/bench_driver
[ -x "$murvane" ] && [ -x "$driver" ] || {
    echo "options.sh: build $build with -DMURVANE_BENCH=ON first" >&2
    exit 1
}

# Into a namespace of our own, once.
if [ "${MURVANE_OPTIONS_NAMESPACE:-}" != yes ]; then
    MURVANE_OPTIONS_NAMESPACE=yes exec unshare --net --mount --propagation private \
        sh "$self" --build "$build" --rounds "$rounds" --seconds "$seconds" --configs "$configs" \
        --streams "$streams"
fi
mount --make-rprivate /
ip link set lo up

work=$(mktemp -d "${TMPDIR:-/tmp}/murvane-options.XXXXXX")
dns_pid=""
cleanup() {
    [ -z "$dns_pid" ] || kill "$dns_pid" 2>/dev/null || true
    umount /etc/resolv.conf 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
results=$work/results
: > "$results"

printf 'nameserver 127.0.0.1\noptions attempts:1\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
# dnsmasq returns once its socket is bound, leaving its PID in the file.
/usr/sbin/dnsmasq --conf-file=/dev/null --no-resolv --no-hosts \
    --listen-address=127.0.0.1 --bind-interfaces --user=root --group=root \
    --pid-file="$work/dnsmasq.pid" --log-facility="$work/dnsmasq.log" \
    --local=/example.net/ --local=/example.com/ --local=/example.org/ \
    --local=/in-addr.arpa/ --address=/dnsbl.test/127.0.0.2 \
    '--txt-record=example.net,v=spf1 ip4:198.18.0.0/15 -all' \
    '--txt-record=example.com,v=spf1 ip4:198.18.0.0/16 -all' \
    '--txt-record=example.org,v=spf1 ip4:198.19.0.0/16 ~all' \
    '--txt-record=lists.example.com,v=spf1 ?all'
dns_pid=$(cat "$work/dnsmasq.pid")

# args CONFIG - the daemon's options of a configuration.
args() {
    case $1 in
        plain) echo "-g 2" ;;
        spf) echo "-g 2 --spf" ;;
        awl) echo "-g 2 --auto-whitelist 5" ;;
        both) echo "-g 2 --spf --auto-whitelist 5" ;;
        sel) echo "-g 2 --selective" ;;
        dnsbl) echo "-g 2 --selective --dnsbl dnsbl.test" ;;
    esac
}

# Each home is warmed with its own options (with --spf, the keys of the
# triplets that pass SPF are their domain's): the known set, and the
# listed clients' 640 triplets, each asked once, the delay waited out,
# asked again (with --selective nothing is stored: those clients show no
# sign). The new and suspect streams need no warming.
case " $streams " in *" known "*|*" listed "*) warm=yes ;; *) warm="" ;; esac
for config in $configs; do
    mkdir "$work/$config"
    [ -n "$warm" ] || continue
    for pass in 1 2; do
        # shellcheck disable=SC2046
        "$driver" --connections 1 --warmup 0 --requests "$known" --seconds 600 \
            --new k -- "$murvane" -h "$work/$config" $(args "$config") >/dev/null
        # shellcheck disable=SC2046
        "$driver" --connections 1 --warmup 0 --requests $((listed * 10)) --seconds 600 \
            --new w --clients "$listed" -- "$murvane" -h "$work/$config" $(args "$config") >/dev/null
        [ "$pass" = 2 ] || sleep 3
    done
done

# dns_ticks - CPU time dnsmasq has used, in clock ticks.
dns_ticks() {
    awk '{ print $14 + $15 }' "/proc/$dns_pid/stat"
}
hz=$(getconf CLK_TCK)

# measure CONFIG CONNECTIONS STREAM ROUND
measure() {
    case $3 in
        new) triplets="--new n$4c$2$1" ;;
        known) triplets="--known k $known" ;;
        listed) triplets="--new l$4c$2$1 --clients $listed" ;;
        suspect) triplets="--new s$4c$2$1 --suspicious" ;;
    esac
    # shellcheck disable=SC2046,SC2086
    t0=$(dns_ticks)
    line=$("$driver" --connections "$2" --seconds "$seconds" $triplets \
        -- "$murvane" -h "$work/$1" $(args "$1"))
    t1=$(dns_ticks)
    rps=$(printf '%s\n' "$line" | sed -n 's/.* rps=\([0-9.]*\).*/\1/p')
    cpu=$(printf '%s\n' "$line" | sed -n 's/.* cpu_us=\([0-9.]*\).*/\1/p')
    requests=$(printf '%s\n' "$line" | sed -n 's/^requests=\([0-9]*\).*/\1/p')
    # dnsmasq's CPU over the run (warm-up included) per measured request.
    dns=$(awk -v t=$((t1 - t0)) -v hz="$hz" -v n="$requests" 'BEGIN { printf "%.2f", t * 1e6 / hz / n }')
    echo "$1 $2 $3 $4 $line dnsmasq_cpu_us=$dns" >&2
    echo "$1 $2 $3 $4 $rps $cpu $dns" >> "$results"
}

# rotate N WORDS... - the words, starting from the N-th (mod their count).
rotate() {
    n=$1; shift
    n=$((n % $#))
    i=0; head=""; tail=""
    for w in "$@"; do
        if [ "$i" -lt "$n" ]; then tail="$tail $w"; else head="$head $w"; fi
        i=$((i + 1))
    done
    echo $head $tail
}

round=1
while [ "$round" -le "$rounds" ]; do
    for connections in 1 4; do
        for stream in $streams; do
            # shellcheck disable=SC2086
            for config in $(rotate "$round" $configs); do
                measure "$config" "$connections" "$stream" "$round"
            done
        done
    done
    round=$((round + 1))
done

# The table: medians per configuration, the median and range of the round
# ratios against plain.
echo "| connections | triplets | configuration | req/s (median) | ratio to plain, median of $rounds rounds | range of the round ratios | daemon CPU us/request (median) | dnsmasq CPU us/request (median) |"
echo "|---|---|---|---|---|---|---|---|"
for connections in 1 4; do
    for stream in $streams; do
        for config in $configs; do
            awk -v c="$connections" -v s="$stream" -v k="$config" '
                function median(a, n,    i, j, t) {
                    for (i = 2; i <= n; i++)
                        for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
                    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
                }
                $2 == c && $3 == s { rps[$1, $4] = $5; cpu[$1, $4] = $6; dns[$1, $4] = $7; rounds[$4] = 1 }
                END {
                    n = 0
                    for (r in rounds) {
                        n++
                        kr[n] = rps[k, r]; kc[n] = cpu[k, r]; kd[n] = dns[k, r]
                        ratio[n] = rps[k, r] / rps["plain", r]
                        if (n == 1 || ratio[n] < lo) lo = ratio[n]
                        if (n == 1 || ratio[n] > hi) hi = ratio[n]
                    }
                    printf "| %s | %s | %s | %.0f | %.3f | %.2f-%.2f | %.1f | %.1f |\n", c, s, k,
                        median(kr, n), median(ratio, n), lo, hi, median(kc, n), median(kd, n)
                }' "$results"
        done
    done
done

# DNS queries per request: dnsmasq's count of the queries it answered, from
# its statistics (SIGUSR1) before and after one run of 2,000 requests of
# each stream, for each configuration with --spf or --dnsbl.
answered() {
    before=$(grep -c 'queries answered locally' "$work/dnsmasq.log" || true)
    kill -USR1 "$dns_pid"
    tries=0
    while [ "$(grep -c 'queries answered locally' "$work/dnsmasq.log" || true)" = "$before" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "options.sh: no statistics from dnsmasq" >&2; exit 1; }
        sleep 0.05
    done
    grep 'queries answered locally' "$work/dnsmasq.log" | tail -n 1 |
        sed -n 's/.*queries answered locally \([0-9]*\).*/\1/p'
}
echo
echo "| configuration | triplets | requests | DNS queries answered | queries per request |"
echo "|---|---|---|---|---|"
for config in $configs; do
    case $config in spf|both|dnsbl) ;; *) continue ;; esac
    for stream in $streams; do
        case $stream in
            new) triplets="--new q$config" ;;
            known) triplets="--known k $known" ;;
            listed) triplets="--new lq$config --clients $listed" ;;
            suspect) triplets="--new sq$config --suspicious" ;;
        esac
        a=$(answered)
        # shellcheck disable=SC2046,SC2086
        "$driver" --connections 1 --warmup 0 --requests 2000 --seconds 600 $triplets \
            -- "$murvane" -h "$work/$config" $(args "$config") >/dev/null
        b=$(answered)
        echo "| $config | $stream | 2000 | $((b - a)) | $(awk -v q=$((b - a)) 'BEGIN { printf "%.2f", q / 2000 }') |"
    done
done
