#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""day_replay.py - a generated day of mail replayed through the daemon under
a frozen fake clock, with plain greylisting, --spf, --auto-whitelist 5 and
both.

    python3 bench/day_replay.py [--build DIR] [--out DIR] [--seed N]

Every delivery attempt is one run of the built daemon (DIR/murvane, default
build/murvane) with the wall clock frozen at the attempt's second by
libfaketime (its thread-safe build, libfaketimeMT: the daemon has a
watchdog thread), on a home of its own per configuration; a deferred
attempt is retried on the sender's schedule, as its answer decides. The day
holds:

- pool senders: large senders whose every attempt, retries included, leaves
  from a random address of their pool (8 addresses over two /24s); each
  one's domain authorises its two /24s by SPF;
- regular correspondents: servers of one address each, writing to
  recipients new to them all day long; each one's domain authorises its
  address;
- spam sources: one address each, a few attempts, never a retry; every
  other one's domain authorises its address (a spammer's own domain with
  valid SPF), the others' domains have no record.

The replays run in a network and mount namespace of their own (the script
re-runs itself under unshare; root needed): loopback only, dnsmasq on
127.0.0.1 serving those SPF records, and a resolv.conf naming it
bind-mounted over /etc/resolv.conf for this namespace alone.

The report (OUT/day_replay.md, default build-bench/day_replay) gives, per
configuration, the median and 95th-percentile delay of legitimate messages,
deferrals per legitimate message, the messages deferred again after one
greylist delay had passed since their first attempt, and the share of spam
stopped, and checks the goal of the two options together; the delays
of every legitimate message go to OUT/day_replay.dat for the plot
(bench/day_replay.gp).
"""
import argparse
import heapq
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

DAY_START = 1767225600          # 2026-01-01 00:00:00 UTC
DAY = 86400
DELAY = 3480    # the daemon's default greylist delay, given as -g
FAKETIME_LIBRARIES = [
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
    "/usr/lib/faketime/libfaketimeMT.so.1",
    "/usr/local/lib/faketime/libfaketimeMT.so.1",
]

# Retry schedules in seconds after each deferral (the last step repeats).
SCHEDULES = {
    "backoff": [300, 600, 1200, 2400, 4000],    # doubling from five minutes
    "quarter": [900],                            # every fifteen minutes
    "half": [1800],                              # every thirty minutes
    "hourly": [300, 3600],                       # five minutes, then hourly
}
GIVE_UP = DAY   # a message not delivered within a day counts as never delivered

CONFIGS = [
    ("plain", []),
    ("--spf", ["--spf"]),
    ("--auto-whitelist 5", ["--auto-whitelist", "5"]),
    ("--spf --auto-whitelist 5", ["--spf", "--auto-whitelist", "5"]),
]
BOTH = "--spf --auto-whitelist 5"


def make_day(rng):
    """The day's first attempts: (time, kind, sender id, message id, ...)."""
    messages = []
    # Pool senders: 4, each 30 messages over the day to 40 recipients.
    for p in range(4):
        pool = ["198.18.%d.%d" % (p * 2 + n // 4, 10 + (n % 4) * 7) for n in range(8)]
        schedule = list(SCHEDULES)[p % len(SCHEDULES)]
        for m in range(30):
            messages.append({
                "kind": "pool", "pool": pool, "schedule": schedule,
                "sender": "noreply@pool%d.example" % p,
                "spf": "v=spf1 ip4:198.18.%d.0/24 ip4:198.18.%d.0/24 -all" % (p * 2, p * 2 + 1),
                "recipient": "user%d@example.org" % rng.randrange(40),
                "start": DAY_START + rng.randrange(DAY)})
    # Regular correspondents: 20 servers, each 10 messages to recipients
    # mostly new to it.
    for c in range(20):
        address = "203.0.113.%d" % (10 + c)
        schedule = list(SCHEDULES)[c % len(SCHEDULES)]
        for m in range(10):
            messages.append({
                "kind": "correspondent", "pool": [address], "schedule": schedule,
                "sender": "someone%d@corr%d.example" % (rng.randrange(3), c),
                "spf": "v=spf1 ip4:%s -all" % address,
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    # Spam sources: 200 addresses, 1 to 3 attempts each, never retried.
    for s in range(200):
        address = "100.%d.%d.%d" % (64 + s % 64, rng.randrange(256), 1 + rng.randrange(254))
        for m in range(1 + rng.randrange(3)):
            messages.append({
                "kind": "spam", "pool": [address], "schedule": None,
                "sender": "offer%d@spam%d.example" % (rng.randrange(1000), s),
                "spf": "v=spf1 ip4:%s -all" % address if s % 2 == 0 else None,
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    return messages


def request(client, sender, recipient):
    return ("request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
            "client_address=%s\nclient_name=unknown\nsender=%s\nrecipient=%s\n\n"
            % (client, sender, recipient))


def ask(murvane, faketime, home, options, now, client, sender, recipient):
    # Monotonic clocks stay real, and with them the watchdog's deadline;
    # without the library's forced monotonic fix its deadline goes through
    # unchanged (with it the watchdog's thread spins under a frozen clock).
    env = {"PATH": "/usr/bin:/bin", "LD_PRELOAD": faketime, "FAKETIME_FMT": "%s",
           "FAKETIME": str(now), "FAKETIME_DONT_FAKE_MONOTONIC": "1",
           "FAKETIME_FORCE_MONOTONIC_FIX": "0"}
    out = subprocess.run([murvane, "-h", home] + options,
                         input=request(client, sender, recipient).encode(),
                         stdout=subprocess.PIPE, env=env, check=True, timeout=60).stdout
    answer = out.decode().split("\n")[0]
    if not answer.startswith("action="):
        raise RuntimeError("unexpected answer %r" % answer)
    return not answer.startswith("action=DEFER")


def replay(murvane, faketime, home, options, messages, seed):
    rng = random.Random(seed)   # the same pool addresses in every configuration
    queue = [(m["start"], i, 0) for i, m in enumerate(messages)]
    heapq.heapify(queue)
    outcome = {}
    late = set()    # messages deferred after one delay from their first attempt
    while queue:
        now, i, tries = heapq.heappop(queue)
        m = messages[i]
        client = m["pool"][rng.randrange(len(m["pool"]))]
        if ask(murvane, faketime, home, options, now, client, m["sender"], m["recipient"]):
            outcome[i] = (now - m["start"], tries)
            continue
        if now - m["start"] > DELAY:
            late.add(i)
        if m["schedule"] is None:
            outcome[i] = (None, tries + 1)
            continue
        steps = SCHEDULES[m["schedule"]]
        later = now + steps[min(tries, len(steps) - 1)]
        if later - m["start"] > GIVE_UP:
            outcome[i] = (None, tries + 1)
            continue
        heapq.heappush(queue, (later, i, tries + 1))
    return outcome, late


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def enter_namespace(messages, work):
    """A network and mount namespace of this process's own: loopback up, a
    resolv.conf naming 127.0.0.1 bind-mounted over /etc/resolv.conf, and
    dnsmasq there serving the day's SPF records. Returns dnsmasq's PID."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True, timeout=30)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
    resolv = os.path.join(work, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\noptions attempts:1\n")
    subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True, timeout=30)
    records = sorted({"%s,%s" % (m["sender"].split("@")[1], m["spf"])
                      for m in messages if m["spf"]})
    pid_file = os.path.join(work, "dnsmasq.pid")
    # dnsmasq returns once its socket is bound, leaving its PID in the file.
    # Names of the zone not listed answer "no such name".
    subprocess.run(["/usr/sbin/dnsmasq", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                    "--listen-address=127.0.0.1", "--bind-interfaces", "--user=root",
                    "--group=root", "--pid-file=" + pid_file, "--local=/example/",
                    "--local=/in-addr.arpa/"] + ["--txt-record=" + r for r in records],
                   check=True, timeout=30)
    with open(pid_file) as f:
        return int(f.read())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="build-bench/day_replay")
    parser.add_argument("--seed", type=int, default=19)
    args = parser.parse_args()
    if os.environ.get("MURVANE_REPLAY_NAMESPACE") != "yes":
        env = dict(os.environ, MURVANE_REPLAY_NAMESPACE="yes")
        os.execvpe("unshare", ["unshare", "--net", "--mount", "--propagation", "private",
                               sys.executable] + sys.argv, env)
    murvane = os.path.abspath(os.path.join(args.build, "murvane"))
    faketime = next((f for f in FAKETIME_LIBRARIES if os.path.exists(f)), None)
    if faketime is None:
        raise SystemExit("day_replay.py: libfaketime (libfaketimeMT.so.1) is not installed")
    os.makedirs(args.out, exist_ok=True)
    messages = make_day(random.Random(args.seed))
    work = tempfile.mkdtemp(prefix="murvane-replay-dns.")
    dnsmasq = None
    try:
        dnsmasq = enter_namespace(messages, work)
        rows, data, goal = run_configs(murvane, faketime, messages, args.seed)
    finally:
        if dnsmasq is not None:
            os.kill(dnsmasq, 15)
        subprocess.run(["umount", "/etc/resolv.conf"], timeout=30)
        shutil.rmtree(work)
    write_report(args.out, rows, data, goal)


def run_configs(murvane, faketime, messages, seed):
    """Each configuration's replay; the table's rows, the plot's data, and the
    lines that check the goal."""
    rows, data, goal = [], [], []
    for name, options in CONFIGS:
        home = tempfile.mkdtemp(prefix="murvane-replay.")
        try:
            outcome, late = replay(murvane, faketime, home, ["-g", str(DELAY)] + options,
                                   messages, seed + 1)
        finally:
            shutil.rmtree(home)
        for kind in ("pool", "correspondent", "legitimate"):
            chosen = [i for i, m in enumerate(messages)
                      if m["kind"] == kind or (kind == "legitimate" and m["kind"] != "spam")]
            delays = [outcome[i][0] for i in chosen if outcome[i][0] is not None]
            deferrals = [outcome[i][1] for i in chosen]
            lost = len(chosen) - len(delays)
            rows.append((name, kind, len(chosen), statistics.median(delays) / 60,
                         percentile(delays, 0.95) / 60, statistics.mean(deferrals),
                         sum(1 for i in chosen if i in late), lost))
            if kind != "legitimate":
                data.extend((name, kind, d) for d in sorted(delays))
        spam = [i for i, m in enumerate(messages) if m["kind"] == "spam"]
        stopped = [i for i in spam if outcome[i][0] is None]
        with_spf = [i for i in spam if messages[i]["spf"]]
        rows.append((name, "spam", len(spam), len(stopped) / len(spam),
                     sum(1 for i in with_spf if i in stopped), len(with_spf)))
        if name == BOTH:
            goal.extend(check_goal(messages, outcome, late, stopped, spam))
    return rows, data, goal


def check_goal(messages, outcome, late, stopped, spam):
    """With both options: every pool message waited one greylist delay at
    most, and every spam message was stopped. A message "met a second delay"
    when one of its attempts was deferred later than DELAY seconds after its
    first attempt; as a looser bound, its delay is also held against DELAY
    plus the longest step of its retry schedule (the furthest its first
    accepted retry can come after one delay)."""
    pool = [i for i, m in enumerate(messages) if m["kind"] == "pool"]
    again = [i for i in pool if i in late]
    over = [i for i in pool if outcome[i][0] is None or
            outcome[i][0] > DELAY + max(SCHEDULES[messages[i]["schedule"]])]
    worst = max((outcome[i][0] for i in pool if outcome[i][0] is not None), default=0)
    lines = [
        "pool messages deferred later than one delay (%d s) after their first attempt: "
        "%d of %d" % (DELAY, len(again), len(pool)),
        "pool messages delayed more than one delay plus their schedule's longest step, "
        "or never delivered: %d of %d (longest delay %.1f min)" % (len(over), len(pool), worst / 60),
        "spam stopped: %d of %d" % (len(stopped), len(spam)),
    ]
    met = not again and not over and len(stopped) == len(spam)
    lines.append("goal (with --spf --auto-whitelist 5, pool mail waits one greylist delay at "
                 "most and no spam gets through): %s" % ("met" if met else "MISSED"))
    return lines


def write_report(out, rows, data, goal):
    with open(os.path.join(out, "day_replay.md"), "w") as report:
        report.write("| configuration | mail | messages | median delay (min) | "
                     "95th percentile (min) | deferrals per message | "
                     "deferred after one delay | never delivered |\n"
                     "|---|---|---|---|---|---|---|---|\n")
        for r in rows:
            if r[1] == "spam":
                report.write("| %s | spam | %d | | | | | %.1f%% stopped (%d of the %d with SPF) |\n"
                             % (r[0], r[2], 100 * r[3], r[4], r[5]))
            else:
                kind = "all legitimate" if r[1] == "legitimate" else r[1]
                report.write("| %s | %s | %d | %.1f | %.1f | %.2f | %d | %d |\n"
                             % ((r[0], kind) + r[2:]))
        report.write("\n" + "".join(line + "\n" for line in goal))
    with open(os.path.join(out, "day_replay.dat"), "w") as dat:
        for name, kind in [(n, k) for n, _ in CONFIGS for k in ("pool", "correspondent")]:
            delays = [d for c, k, d in data if c == name and k == kind]
            dat.write("# %s, %s\n" % (name, kind))
            for n, d in enumerate(delays):
                dat.write("%.2f %.4f\n" % (d / 60, (n + 1) / len(delays)))
            dat.write("\n\n")
    print(open(os.path.join(out, "day_replay.md")).read(), end="")


if __name__ == "__main__":
    main()
