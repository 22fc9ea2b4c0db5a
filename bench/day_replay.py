#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""day_replay.py - a generated day of mail replayed through the daemon under
a frozen fake clock, with plain greylisting and with --auto-whitelist 5.

    python3 bench/day_replay.py [--build DIR] [--out DIR] [--seed N]

Every delivery attempt is one run of the built daemon (DIR/murvane, default
build/murvane) with the wall clock frozen at the attempt's second by
libfaketime, on a home of its own per configuration; a deferred attempt is
retried on the sender's schedule, as its answer decides. The day holds:

- pool senders: large senders whose every attempt, retries included, leaves
  from a random address of their pool (8 addresses over two /24s);
- regular correspondents: servers of one address each, writing to
  recipients new to them all day long;
- spam sources: one address each, a few attempts, never a retry.

The report (OUT/day_replay.md, default build-bench/day_replay) gives, per
configuration, the median and 95th-percentile delay of legitimate messages,
deferrals per legitimate message and the share of spam stopped; the delays
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
import tempfile

DAY_START = 1767225600          # 2026-01-01 00:00:00 UTC
DAY = 86400
FAKETIME_LIBRARIES = [
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
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
    ("auto-whitelist 5", ["--auto-whitelist", "5"]),
]


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
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    # Spam sources: 200 addresses, 1 to 3 attempts each, never retried.
    for s in range(200):
        address = "100.%d.%d.%d" % (64 + s % 64, rng.randrange(256), 1 + rng.randrange(254))
        for m in range(1 + rng.randrange(3)):
            messages.append({
                "kind": "spam", "pool": [address], "schedule": None,
                "sender": "offer%d@spam%d.example" % (rng.randrange(1000), s),
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    return messages


def request(client, sender, recipient):
    return ("request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
            "client_address=%s\nclient_name=unknown\nsender=%s\nrecipient=%s\n\n"
            % (client, sender, recipient))


def ask(murvane, faketime, home, options, now, client, sender, recipient):
    env = {"PATH": "/usr/bin:/bin", "LD_PRELOAD": faketime, "FAKETIME_FMT": "%s",
           "FAKETIME": str(now), "FAKETIME_DONT_FAKE_MONOTONIC": "1"}
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
    while queue:
        now, i, tries = heapq.heappop(queue)
        m = messages[i]
        client = m["pool"][rng.randrange(len(m["pool"]))]
        if ask(murvane, faketime, home, options, now, client, m["sender"], m["recipient"]):
            outcome[i] = (now - m["start"], tries)
            continue
        if m["schedule"] is None:
            outcome[i] = (None, tries + 1)
            continue
        steps = SCHEDULES[m["schedule"]]
        later = now + steps[min(tries, len(steps) - 1)]
        if later - m["start"] > GIVE_UP:
            outcome[i] = (None, tries + 1)
            continue
        heapq.heappush(queue, (later, i, tries + 1))
    return outcome


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="build-bench/day_replay")
    parser.add_argument("--seed", type=int, default=19)
    args = parser.parse_args()
    murvane = os.path.abspath(os.path.join(args.build, "murvane"))
    faketime = next((f for f in FAKETIME_LIBRARIES if os.path.exists(f)), None)
    if faketime is None:
        raise SystemExit("day_replay.py: libfaketime is not installed")
    os.makedirs(args.out, exist_ok=True)
    messages = make_day(random.Random(args.seed))
    rows, data = [], []
    for name, options in CONFIGS:
        home = tempfile.mkdtemp(prefix="murvane-replay.")
        try:
            outcome = replay(murvane, faketime, home, ["-g", "3480"] + options,
                             messages, args.seed + 1)
        finally:
            shutil.rmtree(home)
        for kind in ("pool", "correspondent", "legitimate"):
            chosen = [i for i, m in enumerate(messages)
                      if m["kind"] == kind or (kind == "legitimate" and m["kind"] != "spam")]
            delays = [outcome[i][0] for i in chosen if outcome[i][0] is not None]
            deferrals = [outcome[i][1] for i in chosen]
            lost = len(chosen) - len(delays)
            rows.append((name, kind, len(chosen), statistics.median(delays) / 60,
                         percentile(delays, 0.95) / 60, statistics.mean(deferrals), lost))
            if kind != "legitimate":
                data.extend((name, kind, d) for d in sorted(delays))
        spam = [i for i, m in enumerate(messages) if m["kind"] == "spam"]
        stopped = sum(1 for i in spam if outcome[i][0] is None)
        rows.append((name, "spam", len(spam), stopped / len(spam)))
    with open(os.path.join(args.out, "day_replay.md"), "w") as report:
        report.write("| configuration | mail | messages | median delay (min) | "
                     "95th percentile (min) | deferrals per message | never delivered |\n"
                     "|---|---|---|---|---|---|---|\n")
        for r in rows:
            if r[1] == "spam":
                report.write("| %s | spam | %d | | | | %.1f%% stopped |\n" % (r[0], r[2], 100 * r[3]))
            else:
                report.write("| %s | %s | %d | %.1f | %.1f | %.2f | %d |\n" % r)
    with open(os.path.join(args.out, "day_replay.dat"), "w") as dat:
        for name, kind in [(n, k) for n, _ in CONFIGS for k in ("pool", "correspondent")]:
            delays = [d for c, k, d in data if c == name and k == kind]
            dat.write("# %s, %s\n" % (name, kind))
            for n, d in enumerate(delays):
                dat.write("%.2f %.4f\n" % (d / 60, (n + 1) / len(delays)))
            dat.write("\n\n")
    print(open(os.path.join(args.out, "day_replay.md")).read(), end="")


if __name__ == "__main__":
    main()
