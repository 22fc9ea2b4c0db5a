#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""multi_mx_e2e.py - two MX hosts sharing one greylist, end to end.

Builds two private Postfix instances on 127.0.0.1, as postfix_e2e.py builds
one. The first ("central") also runs the greylist for both: the built murvane
as an inet spawn(8) service on a port of 127.0.0.1, run by nobody. Neither
has a murvane service of its own; both ask the central one with
check_policy_service inet:127.0.0.1:PORT. Then:

  - a triplet deferred through one instance passes through the other once
    the delay is over, its message tagged there, once; a later message on it
    through the first passes untagged; and the same the other way round;
  - --dump-triplets lists each triplet once, with the counts the client saw
    through both instances together;
  - with the central service gone (its entry removed from master.cf), both
    instances answer with smtpd_policy_service_default_action, within the
    short smtpd_policy_service_timeout the admin guide recommends:
    DEFER_IF_PERMIT defers every recipient, even the triplets that passed,
    and DUNNO lets every recipient through untagged; the mail log names the
    refused connection;
  - a central service that accepts connections and never answers is cut off
    by the timeout, with the same default action;
  - back in master.cf, the service answers from the database it kept.

Usage: multi_mx_e2e.py MURVANE_BINARY. Needs root, as Postfix's master does
(exit 77, which CTest counts as skipped, otherwise). Installs Postfix through
scripts/postfix-deps.sh when it is missing. Every wait is bounded; every
process the test started is stopped, by PID, also when a check fails.
MURVANE_E2E_KEEP=1 keeps the temporary directories.
"""

import os
import shutil
import socket
import sys
import threading
import time

# Importing postfix_e2e must leave no __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import postfix_e2e as e2e  # noqa: E402  (the instance, SMTP and dump helpers)
from postfix_e2e import DELAY, DOMAIN, PATH, SPAWN_USER, check  # noqa: E402

SCENARIO_SECONDS = 300

# What the admin guide recommends for every MX host that asks a central
# service: a short timeout (the test's is shorter still, to stay fast), and a
# default action of the admin's choosing while the service is unreachable.
POLICY_TIMEOUT = 2
DEFER_ACTION = "DEFER_IF_PERMIT Greylisting is unavailable, try again later"
DEFER_TEXT = "4.7.1 <%s>: Recipient address rejected: Greylisting is unavailable, try again later"
TRY_LIMIT = 2             # Postfix's default smtpd_policy_service_try_limit
# No answer while the service is down may take as long as one try would under
# Postfix's default smtpd_policy_service_timeout (100 s): the short timeout
# must be what decides. Otherwise loose, for a busy machine.
ANSWER_BOUND = 60


def log(message):
    print("multi_mx_e2e: " + message, flush=True)


def postconf(instance, *args):
    result = e2e.run(["postconf", "-c", instance.config] + list(args), env={"PATH": PATH})
    check(result.returncode == 0, "postconf %s failed: %s" % (
        " ".join(args), result.stderr.decode(errors="replace")))


def central_service(instance, policy_port):
    """The master.cf entry of the central greylist: one murvane per policy
    connection, from whichever MX host it comes. The time limit rides on the
    entry (-o), where it cannot be separated from it; main.cf's
    127.0.0.1:PORT_time_limit would do the same."""
    return ("127.0.0.1:%d/inet=127.0.0.1:%d inet n n n - 0 spawn"
            " -o command_time_limit=3600s user=%s argv=%s -h %s -g %d"
            % (policy_port, policy_port, SPAWN_USER, instance.murvane,
               instance.home, DELAY))


def configure(instance, policy_port, central):
    """Turn an instance of postfix_e2e's templates into an MX host that asks
    the policy service on 127.0.0.1:policy_port; the central one runs it."""
    postconf(instance, "-MX", "murvane/unix")
    postconf(instance, "-X", "murvane_time_limit")
    postconf(instance, "-e",
             "smtpd_recipient_restrictions = reject_unauth_destination,"
             " reject_unlisted_recipient,"
             " check_policy_service inet:127.0.0.1:%d" % policy_port,
             "smtpd_policy_service_timeout = %ds" % POLICY_TIMEOUT,
             "smtpd_policy_service_default_action = " + DEFER_ACTION)
    if central:
        postconf(instance, "-M", central_service(instance, policy_port))


def timed_rcpt(instance, recipient, tag=None):
    """One transaction to one recipient: its reply, the DATA reply, and how
    long the session took (without DATA, nearly all of it is the wait for
    the policy lookup behind RCPT TO)."""
    started = time.monotonic()
    replies, data_reply = e2e.transaction(instance, [recipient], tag)
    return replies[0], data_reply, time.monotonic() - started


def shared_greylist(central, other, seen, deadline):
    """A triplet's state follows it from one MX host to the other."""
    bob, carol = "bob@" + DOMAIN, "carol@" + DOMAIN
    for first, second, recipient, tags in ((central, other, bob, ("a1", "a2")),
                                           (other, central, carol, ("b1", "b2"))):
        names = (first.name, second.name)
        log("<%s>: deferred through %s, passes through %s after the delay, "
            "tagged once" % ((recipient,) + names))
        reply, _, _ = timed_rcpt(first, recipient)
        left = e2e.seconds_left(reply, recipient)
        check(left == DELAY, "a new triplet must wait the whole delay: %r" % (reply,))
        seen.add(recipient, deferred=1)
        e2e.pass_greylisting(second, recipient, left, tags[0], seen, deadline)
        e2e.check_tagged(e2e.delivered(second, recipient, tags[0], deadline), tags[0])

        log("<%s>: a later message through %s passes untagged" % ((recipient,) + names[:1]))
        reply, data_reply, _ = timed_rcpt(first, recipient, tags[1])
        e2e.accepted(reply, recipient)
        e2e.data_sent(data_reply, tags[1])
        seen.add(recipient, passed=1)
        check(e2e.delivered(first, recipient, tags[1], deadline) == [],
              "%s of a passed triplet is tagged" % tags[1])

    check(other.spawned_daemons() == [], "%s ran a murvane of its own" % other.name)
    log("--dump-triplets lists each triplet once, with the counts of both hosts")
    seen.check_listing(central.dump(), seen.started, time.time())


def stop_service(central, other, policy_port, deadline):
    """Take the central service out of master.cf. The instances are reloaded
    so that their smtpd processes let go of the policy connections they hold,
    and the murvane processes behind them stop."""
    postconf(central, "-MX", "127.0.0.1:%d/inet" % policy_port)
    central.reload()
    other.reload()
    deadline.wait_for("the central murvane processes to stop",
                      lambda: not central.spawned_daemons(), limit=60)

    def refused():
        try:
            with socket.create_connection(("127.0.0.1", policy_port), timeout=2):
                return False
        except ConnectionRefusedError:
            return True
    deadline.wait_for("127.0.0.1:%d to refuse connections" % policy_port, refused, limit=30)


def set_default_action(instances, action):
    for instance in instances:
        postconf(instance, "-e", "smtpd_policy_service_default_action = " + action)
        instance.reload()


def answers_while_down(instances, how, recipients, expect, at_least=0):
    """Ask every MX host about every recipient; expect(reply, recipient)
    checks the reply. Each RCPT TO must take at least at_least seconds, and
    less than ANSWER_BOUND; the answers are logged."""
    table = []
    for instance in instances:
        mark = len(instance.maillog_text())
        for recipient in recipients:
            reply, _, took = timed_rcpt(instance, recipient)
            expect(reply, recipient)
            check(at_least <= took < ANSWER_BOUND, "%s took %.1f s to answer for "
                  "<%s> (%s), not between %.1f s and %.1f s" % (
                      instance.name, took, recipient, how, at_least, ANSWER_BOUND))
            table.append((instance.name, recipient, reply, took))
        # The MX host's log says why it answered so.
        found = [line for line in instance.maillog_text()[mark:].splitlines()
                 if "warning:" in line and "127.0.0.1:%d" % instance.policy_port in line]
        check(found, "%s logged no warning about the policy service (%s)" % (instance.name, how))
        table.append((instance.name, "log", found[0].split(": ", 1)[-1], 0))
    for name, recipient, reply, took in table:
        log("  %s %s: %r%s" % (name, recipient, reply,
                               "" if recipient == "log" else " after %.1f s" % took))


class SilentService:
    """A policy service that accepts connections and never answers: a central
    host that hangs, or a network that drops the replies."""

    def __init__(self, port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.held = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while not self.stopping.is_set():
            try:
                connection, _ = self.listener.accept()
                self.held.append(connection)
            except socket.timeout:
                pass
            except OSError:
                return

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        for connection in self.held:
            connection.close()
        self.listener.close()


def service_down(central, other, policy_port, seen, deadline):
    bob, dave = "bob@" + DOMAIN, "dave@" + DOMAIN
    both = (central, other)
    log("the central service stops")
    stop_service(central, other, policy_port, deadline)

    def deferred(reply, recipient):
        check(reply == (450, DEFER_TEXT % recipient), "<%s> answered %r, not the "
              "default action's deferral" % (recipient, reply))

    def passed(reply, recipient):
        e2e.accepted(reply, recipient)

    log("default action %s: both hosts defer every recipient, a passed "
        "triplet's too" % DEFER_ACTION.split()[0])
    answers_while_down(both, "service refused", (bob, dave), deferred)

    log("a central service that never answers: the timeout cuts each try off")
    silent = SilentService(policy_port)
    try:
        answers_while_down((other,), "service silent", (dave,), deferred,
                           at_least=TRY_LIMIT * POLICY_TIMEOUT)
    finally:
        silent.close()

    log("default action DUNNO: both hosts let every recipient through, untagged")
    set_default_action(both, "DUNNO")
    answers_while_down(both, "service refused", (bob, dave), passed)
    for instance, tag in ((central, "d1"), (other, "d2")):
        reply, data_reply, _ = timed_rcpt(instance, dave, tag)
        e2e.accepted(reply, dave)
        e2e.data_sent(data_reply, tag)
        check(e2e.delivered(instance, dave, tag, deadline) == [],
              "%s was tagged with the greylist down" % tag)

    log("the central service returns with the database it kept")
    set_default_action(both, DEFER_ACTION)
    postconf(central, "-M", central_service(central, policy_port))
    central.reload()
    reply, data_reply, _ = timed_rcpt(other, bob, "r1")
    e2e.accepted(reply, bob)
    e2e.data_sent(data_reply, "r1")
    seen.add(bob, passed=1)
    check(e2e.delivered(other, bob, "r1", deadline) == [], "r1 of a passed triplet is tagged")
    # dave's messages went through while the greylist was down: it never
    # saw them, and dave is new to it now.
    reply, _, _ = timed_rcpt(central, dave)
    check(e2e.seconds_left(reply, dave) == DELAY, "dave answered %r" % (reply,))
    seen.add(dave, deferred=1)


def main(argv):
    if len(argv) != 2:
        print("usage: multi_mx_e2e.py MURVANE_BINARY", file=sys.stderr)
        return 2
    murvane = os.path.abspath(argv[1])
    refused = e2e.prepare(log)
    if refused is not None:
        return refused

    central, other = e2e.Instance(), e2e.Instance()
    central.name, other.name = "mx1", "mx2"
    policy_port = e2e.free_port()
    ok = False
    try:
        check(len({central.port, other.port, policy_port}) == 3,
              "the kernel gave one port twice; run again")
        central.policy_port = other.policy_port = policy_port
        log("mx1 (central) smtpd on 127.0.0.1:%d, greylist on 127.0.0.1:%d; "
            "mx2 smtpd on 127.0.0.1:%d" % (central.port, policy_port, other.port))
        deadline = e2e.Deadline(SCENARIO_SECONDS)
        for instance, is_central in ((central, True), (other, False)):
            instance.build(murvane)
            configure(instance, policy_port, is_central)
            instance.start(deadline)
        seen = e2e.Triplets()
        seen.started = time.time()
        shared_greylist(central, other, seen, deadline)
        service_down(central, other, policy_port, seen, deadline)

        log("both instances stop: the listing holds the triplets once each")
        # The smtpd processes of both let go of their policy connections
        # first (mx2 stops, mx1 reloads), so that every murvane behind them
        # stops in order before mx1's master goes.
        other.stop()
        central.reload()
        deadline.wait_for("the central murvane processes to stop",
                          lambda: not central.spawned_daemons(), limit=60)
        central.stop()
        listing = central.dump()
        check(set(listing) == set(seen.deferred), "dump lists %r" % sorted(listing))
        for recipient, (_, _, deferred, passed) in listing.items():
            check((deferred, passed) == (seen.deferred[recipient], seen.passed[recipient]),
                  "<%s>: dump counts %d deferred, %d passed; the client saw %d and %d"
                  % (recipient, deferred, passed, seen.deferred[recipient],
                     seen.passed[recipient]))
        ok = True
    except e2e.RUN_FAILURES as e:
        log("FAILED: %s: %s" % (type(e).__name__, e))
    finally:
        for instance in (central, other):
            instance.stop()
            if not ok:
                log("the log of %s:\n%s" % (instance.name, instance.maillog_text()))
            instance.remove()
    log("passed" if ok else "failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
