#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""day_replay.py - a generated day of mail replayed through the daemon under
a frozen fake clock: plain greylisting, --spf, --auto-whitelist 5, both,
both with --replies, and --selective with both and a test blocklist, with
and without --replies.

    python3 bench/day_replay.py [--build DIR] [--out DIR] [--seed N]
                                [--reply-share S]

Every delivery attempt is one run of the built daemon (DIR/murvane, default
build/murvane) with the wall clock frozen at the attempt's second by
libfaketime (its thread-safe build, libfaketimeMT: the daemon has a
watchdog thread), on a home of its own per configuration; a deferred
attempt is retried on the sender's schedule, as its answer decides. Each
request carries what Postfix would send about its client: client_name
(forward-confirmed, or "unknown"), reverse_client_name and helo_name. The
day holds, each kind from a generator function of its own:

- pool senders: large senders whose every attempt, retries included, leaves
  from a random address of their pool (8 addresses over two /24s), each
  host named in the pool's domain and saying so in its HELO; each one's
  domain authorises its two /24s by SPF;
- regular correspondents: 20 small servers of one address each, writing to
  recipients new to them all day long; each one's domain authorises its
  address. 18 are named as mail servers are; 2 (10 %) are not: one has its
  provider's generic name made of its address, one no reverse name at all;
- spam sources: 200 addresses, a few attempts each, never a retry. Those
  that send 10 % of the spam messages look like mail servers (a
  forward-confirmed name, a proper HELO, their own domain's SPF pass, no
  listing); the others are home connections (a name of their address on an access network, verified or
  not, or none; an address literal, a bare address or a dotless word as
  HELO), 80 % of them listed in the test blocklist dnsbl.test; every other
  one's domain authorises its address by SPF;
- replies (replies()): answers to mail the site's users sent out earlier
  that day, from servers new to the site: --reply-share (default 0.10) of
  the day's legitimate first-contact messages. The users' outgoing
  messages (authenticated, with sasl_username) go through the same daemon
  home in the configurations with --replies, which learn from them; the
  others never see them.

The replays run in a network and mount namespace of their own (the script
re-runs itself under unshare; root needed): loopback only, dnsmasq on
127.0.0.1 serving those SPF records and the blocklist's listings (127.0.0.2
at the reversed-octet name of each listed address), and a resolv.conf
naming it bind-mounted over /etc/resolv.conf for this namespace alone. A
daemon that does not take --dnsbl runs the selective configuration without
it, and the report says so.

The report (OUT/day_replay.md, default build-bench/day_replay) gives, per
configuration, the median and 95th-percentile delay of legitimate messages
by kind, of the first-contact ones (the first message of a sender to a
recipient that day) and of all, deferrals per message, the messages
deferred again after one greylist delay had passed since their first
attempt, and the share of spam stopped; it checks the goal of --spf with
--auto-whitelist 5, that of the selective set, and, for each configuration
with --replies, that every reply passed at once. The delays go to
OUT/day_replay.dat for the plot (bench/day_replay.gp).
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

DNSBL_ZONE = "dnsbl.test"
# The configurations: name, options, and whether the site's policy service
# also sees its own users' outgoing (authenticated) mail.
CONFIGS = [
    ("plain", [], False),
    ("--spf", ["--spf"], False),
    ("--auto-whitelist 5", ["--auto-whitelist", "5"], False),
    ("--spf --auto-whitelist 5", ["--spf", "--auto-whitelist", "5"], False),
    ("--selective --spf --auto-whitelist 5 --dnsbl " + DNSBL_ZONE,
     ["--selective", "--spf", "--auto-whitelist", "5", "--dnsbl", DNSBL_ZONE], False),
    ("--selective --spf --auto-whitelist 5 --dnsbl " + DNSBL_ZONE + " --replies",
     ["--selective", "--spf", "--auto-whitelist", "5", "--dnsbl", DNSBL_ZONE, "--replies"], True),
]
# Both, with --replies, after both; the order of CONFIGS is the plot's.
CONFIGS.insert(4, ("--spf --auto-whitelist 5 --replies",
                   ["--spf", "--auto-whitelist", "5", "--replies"], True))
BOTH = "--spf --auto-whitelist 5"
SELECTIVE = "--selective"   # the name of the configuration judged by the selective goal
LEGITIMATE = ("pool", "correspondent", "reply")

# The mix, in shares of sources (each stated in docs/performance.md).
GENERIC_SERVERS = 2      # of the 20 correspondents (10 %): no proper reverse name
CLEAN_SPAM_SHARE = 0.10  # of the spam messages: from sources with a mail server's looks
LISTED_SHARE = 0.8       # of the home connections: listed in the test DNSBL
REPLY_SHARE = 0.10       # of the legitimate first-contact messages: replies
GENERIC_REPLIERS = 10    # every tenth reply's server has no proper reverse name


def server_names(name):
    """What Postfix sends about a mail server: its forward-confirmed name,
    the same reverse name, and the name as HELO."""
    return (name, name, name)


def pool_senders(rng):
    """Large senders: 4, each 30 messages over the day to 40 recipients,
    every attempt from a random address of a pool of 8 over two /24s, each
    host named in the pool's domain (o3.out.pool1.example) and saying so in
    its HELO; the domain authorises both /24s by SPF."""
    messages = []
    for p in range(4):
        pool = ["198.18.%d.%d" % (p * 2 + n // 4, 10 + (n % 4) * 7) for n in range(8)]
        names = {a: server_names("o%d.out.pool%d.example" % (n, p)) for n, a in enumerate(pool)}
        schedule = list(SCHEDULES)[p % len(SCHEDULES)]
        for m in range(30):
            messages.append({
                "kind": "pool", "look": "named", "pool": pool, "names": names,
                "schedule": schedule, "sender": "noreply@pool%d.example" % p,
                "spf": "v=spf1 ip4:198.18.%d.0/24 ip4:198.18.%d.0/24 -all" % (p * 2, p * 2 + 1),
                "recipient": "user%d@example.org" % rng.randrange(40),
                "start": DAY_START + rng.randrange(DAY)})
    return messages


def correspondents(rng):
    """Small servers: 20 of one address each, 10 messages each to recipients
    mostly new to them, each domain authorising its address. Most are named
    as mail servers are (mail.corr3.example, forward-confirmed, the name as
    HELO); GENERIC_SERVERS of them are not: the first carries its provider's
    generic name made of its address, the second has no reverse name at
    all. Both still say a proper HELO."""
    messages = []
    for c in range(20):
        address = "203.0.113.%d" % (10 + c)
        helo = "mail.corr%d.example" % c
        look = "named"
        names = server_names(helo)
        if c < GENERIC_SERVERS and c % 2 == 0:
            generic = "%s.static.isp.example" % address.replace(".", "-")
            look, names = "generic", (generic, generic, helo)
        elif c < GENERIC_SERVERS:
            look, names = "nameless", ("unknown", "unknown", helo)
        schedule = list(SCHEDULES)[c % len(SCHEDULES)]
        for m in range(10):
            messages.append({
                "kind": "correspondent", "look": look, "pool": [address],
                "names": {address: names}, "schedule": schedule,
                "sender": "someone%d@corr%d.example" % (rng.randrange(3), c),
                "spf": "v=spf1 ip4:%s -all" % address,
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    return messages


def home_names(rng, address):
    """What Postfix sends about a hijacked home machine: a name of its
    address on its provider's access network (forward-confirmed or not), or
    none; and a HELO that is no host name."""
    dashed = address.replace(".", "-")
    roll = rng.random()
    if roll < 0.4:
        name = "dsl-%s.dyn.isp%d.example" % (dashed, rng.randrange(5))
        client, reverse = name, name
    elif roll < 0.7:
        client, reverse = "unknown", "%s.pool.isp%d.example" % (dashed, rng.randrange(5))
    else:
        client, reverse = "unknown", "unknown"
    helo = rng.choice(["[%s]" % address, address, "DESKTOP-%05X" % rng.randrange(1 << 20)])
    return (client, reverse, helo)


def spam_sources(rng):
    """Spam: 200 sources of one address each, 1 to 3 messages each, never a
    retry. The clean-looking ones (a forward-confirmed name, a proper HELO,
    their own domain authorising them by SPF, no listing) are the first
    sources whose messages add up to CLEAN_SPAM_SHARE of the day's spam
    messages (rounded): the share of spam that --selective lets through by
    design. The rest are home connections (home_names), LISTED_SHARE of
    them listed in the test DNSBL, every other one's domain authorising its
    address by SPF (a spammer's own domain with valid SPF), the others'
    domains with no record."""
    sources = []
    for s in range(200):
        address = "100.%d.%d.%d" % (64 + s % 64, rng.randrange(256), 1 + rng.randrange(254))
        sources.append((s, address, 1 + rng.randrange(3)))
    target = round(CLEAN_SPAM_SHARE * sum(count for _, _, count in sources))
    clean = set()
    for s, _, count in sources:
        if count <= target:
            clean.add(s)
            target -= count
    messages = []
    for s, address, count in sources:
        if s in clean:
            look, names, listed = "clean", server_names("mta.offers%d.example" % s), False
            spf = "v=spf1 ip4:%s -all" % address
        else:
            look, names = "home", home_names(rng, address)
            listed = rng.random() < LISTED_SHARE
            spf = "v=spf1 ip4:%s -all" % address if s % 2 == 0 else None
        for m in range(count):
            messages.append({
                "kind": "spam", "look": look, "pool": [address], "names": {address: names},
                "listed": listed, "schedule": None,
                "sender": "offer%d@spam%d.example" % (rng.randrange(1000), s), "spf": spf,
                "recipient": "user%d@example.org" % rng.randrange(60),
                "start": DAY_START + rng.randrange(DAY)})
    return messages


def replies(rng, count):
    """Replies: `count` messages of the site's 60 users sent out during the
    day (kind "outbound": an authenticated submission, carrying
    sasl_username, from the user's machine), each to someone at a server
    never seen before, and each answered (kind "reply") from that server 5
    minutes to 6 hours later: legitimate first-contact mail, its domain
    authorising the server by SPF. Most of these servers are named as mail
    servers are; every GENERIC_REPLIERS-th is not, the correspondents'
    way: alternately a generic name made of its address and no reverse
    name, a proper HELO either way. Outbound messages are sent only to
    configurations that see the site's outgoing mail, and never counted."""
    messages = []
    for n in range(count):
        u = rng.randrange(60)
        address = "198.51.100.%d" % (10 + n % 240)
        user = "user%d@example.org" % u
        remote = "someone@reply%d.example" % n
        helo = "mx.reply%d.example" % n
        look, names = "named", server_names(helo)
        if n % GENERIC_REPLIERS == 0 and (n // GENERIC_REPLIERS) % 2 == 0:
            generic = "%s.static.isp.example" % address.replace(".", "-")
            look, names = "generic", (generic, generic, helo)
        elif n % GENERIC_REPLIERS == 0:
            look, names = "nameless", ("unknown", "unknown", helo)
        sent = DAY_START + rng.randrange(DAY * 3 // 4)
        laptop = "192.168.1.%d" % (10 + u)
        messages.append({
            "kind": "outbound", "look": "user", "pool": [laptop],
            "names": {laptop: ("unknown", "unknown", "laptop.example.org")},
            "sasl_username": user.split("@")[0], "schedule": None, "sender": user,
            "spf": None, "recipient": remote, "start": sent})
        messages.append({
            "kind": "reply", "look": look, "pool": [address], "names": {address: names},
            "schedule": list(SCHEDULES)[n % len(SCHEDULES)], "sender": remote,
            "spf": "v=spf1 ip4:%s -all" % address, "recipient": user,
            "start": sent + 300 + rng.randrange(6 * 3600)})
    return messages


def make_day(rng, reply_share=REPLY_SHARE):
    """The day's messages, each with its first attempt's time; every kind of
    source from its own generator, in this order (the random draws, and so
    the day of a seed, stay the same when a generator is added last). The
    replies are as many as make `reply_share` of the legitimate
    first-contact messages, themselves included."""
    messages = []
    for generate in (pool_senders, correspondents, spam_sources):
        messages.extend(generate(rng))
    others = len(first_contacts(messages))
    messages.extend(replies(rng, round(reply_share * others / (1 - reply_share))))
    return messages


def request(client, names, m):
    client_name, reverse_name, helo = names
    sasl = m.get("sasl_username", "")
    return ("request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
            "client_address=%s\nclient_name=%s\nreverse_client_name=%s\nhelo_name=%s\n"
            "sasl_method=%s\nsasl_username=%s\nsender=%s\nrecipient=%s\n\n"
            % (client, client_name, reverse_name, helo, "PLAIN" if sasl else "", sasl,
               m["sender"], m["recipient"]))


def ask(murvane, faketime, home, options, now, client, m):
    # Monotonic clocks stay real, and with them the watchdog's deadline;
    # without the library's forced monotonic fix its deadline goes through
    # unchanged (with it the watchdog's thread spins under a frozen clock).
    env = {"PATH": "/usr/bin:/bin", "LD_PRELOAD": faketime, "FAKETIME_FMT": "%s",
           "FAKETIME": str(now), "FAKETIME_DONT_FAKE_MONOTONIC": "1",
           "FAKETIME_FORCE_MONOTONIC_FIX": "0"}
    out = subprocess.run([murvane, "-h", home] + options,
                         input=request(client, m["names"][client], m).encode(),
                         stdout=subprocess.PIPE, env=env, check=True, timeout=60).stdout
    answer = out.decode().split("\n")[0]
    if not answer.startswith("action="):
        raise RuntimeError("unexpected answer %r" % answer)
    return not answer.startswith("action=DEFER")


def replay(murvane, faketime, home, options, outbound, messages, seed):
    """The day through the daemon: {message: (delay or None, deferrals)} and
    the messages deferred later than one delay after their first attempt.
    Outbound messages are asked about only when `outbound` is true."""
    queue = [(m["start"], i, 0) for i, m in enumerate(messages)
             if outbound or m["kind"] != "outbound"]
    heapq.heapify(queue)
    outcome = {}
    late = set()    # messages deferred after one delay from their first attempt
    while queue:
        now, i, tries = heapq.heappop(queue)
        m = messages[i]
        # The same address for the same attempt of a message in every
        # configuration, whichever other messages it asks about.
        client = m["pool"][random.Random("%d/%d/%d" % (seed, i, tries))
                           .randrange(len(m["pool"]))]
        if ask(murvane, faketime, home, options, now, client, m):
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


def first_contacts(messages):
    """The legitimate messages that are the first of their sender to their
    recipient that day."""
    first = {}
    for i, m in enumerate(messages):
        if m["kind"] in LEGITIMATE:
            pair = (m["sender"], m["recipient"])
            if pair not in first or m["start"] < messages[first[pair]]["start"]:
                first[pair] = i
    return set(first.values())


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def reversed_name(address, zone):
    """The blocklist's name of an IPv4 address: its octets reversed, in zone."""
    return ".".join(reversed(address.split("."))) + "." + zone


def enter_namespace(messages, work):
    """A network and mount namespace of this process's own: loopback up, a
    resolv.conf naming 127.0.0.1 bind-mounted over /etc/resolv.conf, and
    dnsmasq there serving the day's SPF records and the test blocklist's
    listings (127.0.0.2 for each listed address), logging each query to
    WORK/dnsmasq.log (blocklist_queries()). Returns dnsmasq's PID."""
    subprocess.run(["mount", "--make-rprivate", "/"], check=True, timeout=30)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
    resolv = os.path.join(work, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\noptions attempts:1\n")
    subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True, timeout=30)
    records = sorted({"%s,%s" % (m["sender"].split("@")[1], m["spf"])
                      for m in messages if m["spf"]})
    listed = sorted({reversed_name(a, DNSBL_ZONE) + ",127.0.0.2"
                     for m in messages if m.get("listed") for a in m["pool"]})
    pid_file = os.path.join(work, "dnsmasq.pid")
    # dnsmasq returns once its socket is bound, leaving its PID in the file.
    # Names of the zones not listed answer "no such name".
    subprocess.run(["/usr/sbin/dnsmasq", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                    "--listen-address=127.0.0.1", "--bind-interfaces", "--user=root",
                    "--group=root", "--pid-file=" + pid_file, "--log-queries",
                    "--log-facility=" + os.path.join(work, "dnsmasq.log"), "--local=/example/",
                    "--local=/in-addr.arpa/", "--local=/%s/" % DNSBL_ZONE]
                   + ["--txt-record=" + r for r in records]
                   + ["--host-record=" + r for r in listed],
                   check=True, timeout=30)
    with open(pid_file) as f:
        return int(f.read())


def blocklist_queries(work):
    """The queries for names in the test blocklist that dnsmasq has logged
    so far."""
    try:
        with open(os.path.join(work, "dnsmasq.log"), errors="replace") as f:
            return sum(1 for line in f if "query[" in line and "." + DNSBL_ZONE + " " in line)
    except FileNotFoundError:
        return 0


def accepts_dnsbl(murvane):
    """Whether the built daemon takes --dnsbl: a run on an empty input in a
    scratch home ends with status 0 only when every option was understood
    (--dnsbl is refused without --selective)."""
    home = tempfile.mkdtemp(prefix="murvane-replay-probe.")
    try:
        return subprocess.run([murvane, "-h", home, "--selective", "--dnsbl", DNSBL_ZONE],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60).returncode == 0
    finally:
        shutil.rmtree(home)


def configurations(murvane):
    """CONFIGS, without --dnsbl when the daemon does not take it; and a note
    saying so, or None."""
    if accepts_dnsbl(murvane):
        return CONFIGS, None
    configs = []
    for name, options, outbound in CONFIGS:
        if "--dnsbl" in options:
            at = options.index("--dnsbl")
            options = options[:at] + options[at + 2:]
            name = " ".join(options)
        configs.append((name, options, outbound))
    return configs, ("this murvane does not take --dnsbl: the selective configuration ran "
                     "without the blocklist")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="build-bench/day_replay")
    parser.add_argument("--seed", type=int, default=19)
    parser.add_argument("--reply-share", type=float, default=REPLY_SHARE,
                        help="share of the legitimate first-contact messages that are "
                        "replies (replies()); 0 for none")
    args = parser.parse_args()
    if not 0 <= args.reply_share < 1:
        parser.error("--reply-share takes a share from 0 up to, not including, 1")
    if os.environ.get("MURVANE_REPLAY_NAMESPACE") != "yes":
        env = dict(os.environ, MURVANE_REPLAY_NAMESPACE="yes")
        os.execvpe("unshare", ["unshare", "--net", "--mount", "--propagation", "private",
                               sys.executable] + sys.argv, env)
    murvane = os.path.abspath(os.path.join(args.build, "murvane"))
    faketime = next((f for f in FAKETIME_LIBRARIES if os.path.exists(f)), None)
    if faketime is None:
        raise SystemExit("day_replay.py: libfaketime (libfaketimeMT.so.1) is not installed")
    os.makedirs(args.out, exist_ok=True)
    messages = make_day(random.Random(args.seed), args.reply_share)
    configs, note = configurations(murvane)
    work = tempfile.mkdtemp(prefix="murvane-replay-dns.")
    dnsmasq = None
    try:
        dnsmasq = enter_namespace(messages, work)
        rows, data, goal = run_configs(murvane, faketime, configs, messages, args.seed, work)
    finally:
        if dnsmasq is not None:
            os.kill(dnsmasq, 15)
        subprocess.run(["umount", "/etc/resolv.conf"], timeout=30)
        shutil.rmtree(work)
    write_report(args.out, configs, rows, data, [note] + goal if note else goal,
                 describe(messages))


def describe(messages):
    """The day's mix, in counts, for the report."""
    def count(kind, look=None):
        return sum(1 for m in messages
                   if m["kind"] == kind and (look is None or m["look"] == look))
    spam_sources = {m["pool"][0]: m for m in messages if m["kind"] == "spam"}
    home = [m for m in spam_sources.values() if m["look"] == "home"]
    return ["the day: %d pool messages, %d from correspondents (%d of them from the %d "
            "servers with no proper reverse name), %d replies (%d of them from servers with "
            "no proper reverse name) to as many outbound messages; %d legitimate "
            "first-contact messages, %.1f%% of them replies"
            % (count("pool"), count("correspondent"),
               count("correspondent", "generic") + count("correspondent", "nameless"),
               GENERIC_SERVERS, count("reply"),
               count("reply", "generic") + count("reply", "nameless"),
               len(first_contacts(messages)),
               100 * count("reply") / len(first_contacts(messages))),
            "spam: %d messages from %d sources; %d messages (%.1f%%) from %d clean-looking "
            "sources, %d from %d home connections, %d of those listed in %s"
            % (count("spam"), len(spam_sources), count("spam", "clean"),
               100 * count("spam", "clean") / count("spam"),
               len(spam_sources) - len(home), count("spam", "home"),
               len(home), sum(1 for m in home if m["listed"]), DNSBL_ZONE)]


def delay_row(name, what, chosen, outcome, late):
    """A table row: the delays and deferrals of the chosen messages."""
    delays = [outcome[i][0] for i in chosen if outcome[i][0] is not None]
    deferrals = [outcome[i][1] for i in chosen]
    return (name, what, len(chosen), statistics.median(delays) / 60,
            percentile(delays, 0.95) / 60, max(delays) / 60, statistics.mean(deferrals),
            sum(1 for i in chosen if i in late), len(chosen) - len(delays))


def run_configs(murvane, faketime, configs, messages, seed, work):
    """Each configuration's replay; the table's rows, the plot's data, and the
    lines that check the goals."""
    rows, data, goal = [], [], []
    first = first_contacts(messages)
    legitimate = [i for i, m in enumerate(messages) if m["kind"] in LEGITIMATE]
    spam = [i for i, m in enumerate(messages) if m["kind"] == "spam"]
    plain_stopped = None
    for name, options, outbound in configs:
        home = tempfile.mkdtemp(prefix="murvane-replay.")
        asked = blocklist_queries(work)
        try:
            outcome, late = replay(murvane, faketime, home, ["-g", str(DELAY)] + options,
                                   outbound, messages, seed + 1)
        finally:
            shutil.rmtree(home)
        if "--dnsbl" in options:
            goal.append("%s: %d queries in %s answered by dnsmasq" % (
                name, blocklist_queries(work) - asked, DNSBL_ZONE))
        for kind in LEGITIMATE:
            chosen = [i for i in legitimate if messages[i]["kind"] == kind]
            if chosen:
                rows.append(delay_row(name, kind, chosen, outcome, late))
        for what, chosen in (("first contact", sorted(first)), ("legitimate", legitimate)):
            rows.append(delay_row(name, what, chosen, outcome, late))
            data.append((name, what, sorted(outcome[i][0] for i in chosen
                                             if outcome[i][0] is not None), len(chosen)))
        stopped = [i for i in spam if outcome[i][0] is None]
        share = len(stopped) / len(spam)
        by_look = {look: (sum(1 for i in stopped if messages[i]["look"] == look),
                          sum(1 for i in spam if messages[i]["look"] == look))
                   for look in ("home", "clean")}
        rows.append((name, "spam", len(spam), share, by_look))
        if name == "plain":
            plain_stopped = share
        if name == BOTH:
            goal.extend(check_goal(messages, outcome, late, stopped, spam))
        if name.startswith(SELECTIVE):
            goal.extend(check_selective(name, rows, share, plain_stopped))
        goal.extend(check_replies(name, options, messages, outcome))
    return rows, data, goal


def check_replies(name, options, messages, outcome):
    """The replies' delays; with --replies, the goal: every reply passed at
    its first attempt (0 s)."""
    chosen = [i for i, m in enumerate(messages) if m["kind"] == "reply"]
    if not chosen:
        return []
    delays = [outcome[i][0] for i in chosen if outcome[i][0] is not None]
    lines = ["%s: replies %d, delay median %.1f min, 95th percentile %.1f min, longest "
             "%.1f min, never delivered %d"
             % (name, len(chosen), statistics.median(delays) / 60,
                percentile(delays, 0.95) / 60, max(delays) / 60, len(chosen) - len(delays))]
    if "--replies" in options:
        waited = [i for i in chosen if outcome[i][0] != 0]
        lines.append("goal (with %s, every reply passes at once): %s (%d of %d waited)"
                     % (name, "MISSED" if waited else "met", len(waited), len(chosen)))
    return lines


def check_selective(name, rows, stopped, plain_stopped):
    """The selective set's goal: legitimate mail's median delay 0, its 95th
    percentile one greylist delay at most, and the share of spam stopped
    within 10 points of plain greylisting's."""
    legitimate = next(r for r in rows if r[0] == name and r[1] == "legitimate")
    first = next(r for r in rows if r[0] == name and r[1] == "first contact")
    lines = ["%s: legitimate mail's median delay %.1f min, 95th percentile %.1f min "
             "(first contact: %.1f and %.1f); spam stopped %.1f%% against plain's %.1f%%"
             % (name, legitimate[3], legitimate[4], first[3], first[4], 100 * stopped,
                100 * plain_stopped)]
    met = (legitimate[3] == 0 and legitimate[4] * 60 <= DELAY
           and plain_stopped - stopped <= 0.10 + 1e-9)
    lines.append("goal (with %s, legitimate mail's median delay 0, its 95th percentile one "
                 "delay (%d s) at most, spam stopped within 10 points of plain): %s"
                 % (name, DELAY, "met" if met else "MISSED"))
    return lines


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


def write_report(out, configs, rows, data, goal, day):
    with open(os.path.join(out, "day_replay.md"), "w") as report:
        report.write("".join(line + "\n" for line in day) + "\n")
        report.write("| configuration | mail | messages | median delay (min) | "
                     "95th percentile (min) | longest (min) | deferrals per message | "
                     "deferred after one delay | never delivered |\n"
                     "|---|---|---|---|---|---|---|---|---|\n")
        for r in rows:
            if r[1] == "spam":
                home, clean = r[4]["home"], r[4]["clean"]
                report.write("| %s | spam | %d | | | | | | %.1f%% stopped (home connections %d "
                             "of %d, clean-looking %d of %d) |\n"
                             % (r[0], r[2], 100 * r[3], home[0], home[1], clean[0], clean[1]))
            else:
                kind = {"legitimate": "all legitimate", "first contact":
                        "legitimate, first contact"}.get(r[1], r[1])
                report.write("| %s | %s | %d | %.1f | %.1f | %.1f | %.2f | %d | %d |\n"
                             % ((r[0], kind) + r[2:]))
        report.write("\n" + "".join(line + "\n" for line in goal))
    # The plot's data: per configuration, the first-contact messages, then
    # all legitimate messages; the share of each delivered within each delay.
    with open(os.path.join(out, "day_replay.dat"), "w") as dat:
        for name, _, _ in configs:
            for what in ("first contact", "legitimate"):
                delays, total = next((d, n) for c, w, d, n in data if c == name and w == what)
                dat.write("# %s, %s\n" % (name, what))
                for n, d in enumerate(delays):
                    dat.write("%.2f %.4f\n" % (d / 60, (n + 1) / total))
                dat.write("\n\n")
    print(open(os.path.join(out, "day_replay.md")).read(), end="")


if __name__ == "__main__":
    main()
