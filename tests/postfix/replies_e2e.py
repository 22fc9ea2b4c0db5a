#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""replies_e2e.py - --replies behind a real Postfix.

The test moves itself into a network and mount namespace of its own, as
spf_e2e.py does (the loopback interface also answers at 192.0.2.2 and
192.0.2.4, /etc/resolv.conf names 127.0.0.1 where nothing answers, for this
namespace alone), and builds a private Postfix instance there with:

  - a submission listener with SMTP AUTH (Cyrus SASL, a sasldb file of one
    user, alice@example.test, mechanisms PLAIN and LOGIN), whose recipient
    restrictions ask the --replies service before permit_sasl_authenticated,
    with smtpd_policy_service_policy_context=submission;
  - an inbound listener asking the same --replies service;
  - an inbound listener asking a plain service of its own home.

Alice authenticates and writes to bob@outside.test: accepted, and the pair is
learned (--dump-replies lists it, and no triplet is stored for her mail). Bob
writes back from 192.0.2.2: accepted at once through the --replies listener,
delivered without the greylisted header; deferred as a new triplet through the
plain one. A stranger writing to alice from 192.0.2.4 is deferred. A message
from alice on the submission listener without AUTH is refused by Postfix.

Usage: replies_e2e.py MURVANE_BINARY. Needs root, as Postfix's master does,
network and mount namespaces, and Cyrus SASL's saslpasswd2 (Debian packages
sasl2-bin, libsasl2-modules), exit 77 (skipped, CTest) without the first two.
Every wait is bounded; every process the test started is stopped, by PID,
also when a check fails. MURVANE_E2E_KEEP=1 keeps the temporary directory.
"""

import os
import pwd
import shutil
import smtplib
import subprocess
import sys

# Importing the other tests must leave no __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import postfix_e2e as e2e  # noqa: E402  (the instance, SMTP and dump helpers)
import spf_e2e  # noqa: E402  (the namespace)
from postfix_e2e import DELAY, DOMAIN, SPAWN_USER, check  # noqa: E402

SCENARIO_SECONDS = 120

USER = "alice@" + DOMAIN
PASSWORD = "replies-e2e-secret"
OUTSIDE = "bob@outside.test"
OUTSIDE_SERVER = spf_e2e.POOL[0]     # 192.0.2.2
STRANGER = "eve@stranger.test"
STRANGER_SERVER = spf_e2e.STRANGER   # 192.0.2.4
SASLPASSWD2 = "/usr/sbin/saslpasswd2"


def log(message):
    print("replies_e2e: " + message, flush=True)


def make_sasldb(instance):
    """One user in a sasldb file that smtpd (user postfix) reads, and the
    smtpd.conf naming it in a directory of the instance's own."""
    sasldb = os.path.join(instance.root, "sasldb2")
    result = subprocess.run([SASLPASSWD2, "-p", "-c", "-f", sasldb, "-u", DOMAIN,
                             USER.split("@")[0]], input=PASSWORD.encode(), capture_output=True,
                            timeout=e2e.COMMAND_SECONDS, env={"PATH": e2e.PATH})
    check(result.returncode == 0, "saslpasswd2 failed: %s"
          % result.stderr.decode(errors="replace"))
    postfix = pwd.getpwnam("postfix")
    os.chown(sasldb, postfix.pw_uid, postfix.pw_gid)
    os.chmod(sasldb, 0o600)
    # Debian's smtpd looks for smtpd.conf in $config_directory/sasl, whatever
    # cyrus_sasl_config_path says: the file goes there, and the parameter
    # names that directory too.
    sasl_config = os.path.join(instance.config, "sasl")
    os.mkdir(sasl_config, 0o755)
    with open(os.path.join(sasl_config, "smtpd.conf"), "w") as f:
        f.write("pwcheck_method: auxprop\nauxprop_plugin: sasldb\n"
                "mech_list: PLAIN LOGIN\nsasldb_path: %s\n" % sasldb)
    return sasl_config


def configure(instance, sasl_config):
    """The listeners and services: the template's listener and service are
    the plain ones; "replies" is a service with --replies and a home of its
    own, asked by the submission listener and by a second inbound one."""
    home = os.path.join(instance.root, "murvane-replies")
    os.mkdir(home, 0o700)
    os.chown(home, instance.uid, instance.gid)
    instance.replies_home = home
    instance.ports = {"plain": instance.port}
    for name in ("submission", "inbound"):
        port = e2e.free_port()
        check(port not in instance.ports.values(), "the kernel gave one port twice; run again")
        instance.ports[name] = port
    main_cf = [
        "cyrus_sasl_config_path = " + sasl_config,
        "smtpd_sasl_path = smtpd",
        "murvane-replies_time_limit = 3600s",
        # The users' outbound mail is accepted and dropped: nothing leaves.
        "transport_maps = inline:{outside.test=discard:}",
        # What the guide gives for submission: the policy check first, so
        # that it sees the authenticated user's mail, then the permit.
        "submission_restrictions = check_policy_service unix:private/murvane-replies,"
        " permit_sasl_authenticated, reject",
        "inbound_restrictions = reject_unauth_destination, reject_unlisted_recipient,"
        " check_policy_service unix:private/murvane-replies",
    ]
    master_cf = [
        "127.0.0.1:%d inet n - n - 1 smtpd" % instance.ports["submission"],
        "    -o smtpd_sasl_auth_enable=yes",
        "    -o smtpd_tls_security_level=none",
        "    -o smtpd_relay_restrictions=permit_sasl_authenticated,reject",
        "    -o smtpd_recipient_restrictions=$submission_restrictions",
        "    -o smtpd_policy_service_policy_context=submission",
        "127.0.0.1:%d inet n - n - 1 smtpd" % instance.ports["inbound"],
        "    -o smtpd_recipient_restrictions=$inbound_restrictions",
        "murvane-replies unix - n n - 0 spawn",
        "    user=%s argv=%s -h %s -g %d --replies" % (SPAWN_USER, instance.murvane, home,
                                                      DELAY),
    ]
    for file_name, lines in (("main.cf", main_cf), ("master.cf", master_cf)):
        with open(os.path.join(instance.config, file_name), "a") as f:
            f.write("\n".join(lines) + "\n")


def send(instance, listener, client, sender, recipient, tag=None, login=False):
    """One SMTP transaction from `client` to a listener, logged in as the
    user when asked; DATA when tag is given and the recipient was accepted.
    Returns the RCPT reply as (code, text)."""
    session = smtplib.SMTP("127.0.0.1", instance.ports[listener],
                           local_hostname="mta.client.test", timeout=e2e.SMTP_SECONDS,
                           source_address=(client, 0))
    try:
        code, text = session.ehlo()
        check(code == 250, "EHLO answered %d %r" % (code, text))
        if login:
            session.login(USER, PASSWORD)
        code, text = session.mail(sender)
        check(code == 250, "MAIL FROM answered %d %r" % (code, text))
        code, text = session.rcpt(recipient)
        if tag is not None and code == 250:
            message = ("From: <%s>\r\nTo: <%s>\r\nSubject: %s\r\nMessage-ID: <%s@client.test>"
                       "\r\n\r\nThis is message %s.\r\n" % (sender, recipient, tag, tag, tag))
            e2e.data_sent(session.data(message), tag)
        session.quit()
    finally:
        session.close()
    return code, text.decode()


def dump_replies(instance):
    """--dump-replies of the --replies home: {(outside, local): replies}."""
    result = e2e.run([instance.murvane, "--dump-replies", "-h", instance.replies_home],
                     cwd="/", preexec_fn=instance.as_spawn_user(),
                     env={"TZ": "UTC0", "PATH": e2e.PATH})
    check(result.returncode == 0 and result.stderr == b"", "--dump-replies exited with %d: %r"
          % (result.returncode, result.stderr))
    pairs = {}
    for line in result.stdout.decode().splitlines():
        fields = line.split("\t")
        check(len(fields) == 5, "pair line without five fields: %r" % line)
        e2e.ctime_seconds(fields[2])
        e2e.ctime_seconds(fields[3])
        pairs[(fields[0], fields[1])] = int(fields[4])
    return pairs


def triplets(instance, home):
    """--dump-triplets of a home: {(address, sender, recipient): (deferred, passed)}."""
    return {k: v[2:] for k, v in instance.dump_all(home).items()}


def scenario(instance, deadline):
    log("without AUTH the submission listener refuses alice's mail")
    code, text = send(instance, "submission", "127.0.0.1", USER, OUTSIDE)
    check(code // 100 == 5, "unauthenticated submission answered %d %r" % (code, text))
    check(dump_replies(instance) == {}, "a pair learned from unauthenticated mail")

    log("alice logs in and writes to %s: accepted, the pair learned" % OUTSIDE)
    e2e.accepted(send(instance, "submission", "127.0.0.1", USER, OUTSIDE, tag="to-bob",
                      login=True), OUTSIDE)
    found = dump_replies(instance)
    check(found == {(OUTSIDE, USER): 0}, "--dump-replies lists %r" % found)

    log("bob writes back from %s: accepted at once with --replies, no header"
        % OUTSIDE_SERVER)
    e2e.accepted(send(instance, "inbound", OUTSIDE_SERVER, OUTSIDE, USER, tag="reply"), USER)
    headers = e2e.delivered(instance, USER, "reply", deadline)
    check(headers == [], "the reply carries %r" % headers)
    log("the same reply through the plain service is a new triplet, deferred")
    left = e2e.seconds_left(send(instance, "plain", OUTSIDE_SERVER, OUTSIDE, USER), USER)
    check(left == DELAY, "the plain deferral names %d seconds, not %d" % (left, DELAY))
    log("a stranger writing to alice from %s is deferred" % STRANGER_SERVER)
    left = e2e.seconds_left(send(instance, "inbound", STRANGER_SERVER, STRANGER, USER), USER)
    check(left == DELAY, "the stranger's deferral names %d seconds, not %d" % (left, DELAY))

    found = dump_replies(instance)
    check(found == {(OUTSIDE, USER): 1}, "--dump-replies lists %r after the reply" % found)
    expected = {(OUTSIDE_SERVER, OUTSIDE, USER): (0, 1), (STRANGER_SERVER, STRANGER, USER): (1, 0)}
    found = triplets(instance, instance.replies_home)
    check(found == expected, "--replies triplets %r, expected %r" % (found, expected))
    found = triplets(instance, instance.home)
    check(found == {(OUTSIDE_SERVER, OUTSIDE, USER): (1, 0)}, "plain triplets %r" % found)


def main(argv):
    if len(argv) != 2:
        print("usage: replies_e2e.py MURVANE_BINARY", file=sys.stderr)
        return 2
    murvane = os.path.abspath(argv[1])
    refused = e2e.prepare(log)
    if refused is not None:
        return refused
    if not os.access(SASLPASSWD2, os.X_OK):
        log("FAILED: saslpasswd2 (Debian package sasl2-bin) is not installed")
        return 1

    work = e2e.tempfile.mkdtemp(prefix="murvane-replies-e2e-")
    try:
        spf_e2e.enter_namespace(os.path.join(work, "resolv.conf"))
    except spf_e2e.NoNamespace as e:
        shutil.rmtree(work, ignore_errors=True)
        log("skipped: no namespace of our own: %s" % e)
        return e2e.SKIPPED

    instance = e2e.Instance()
    ok = False
    try:
        deadline = e2e.Deadline(SCENARIO_SECONDS)
        instance.build(murvane, mailboxes=["alice"])
        configure(instance, make_sasldb(instance))
        log("private instance in %s; smtpd on 127.0.0.1 ports %s" % (
            instance.root, ", ".join("%d (%s)" % (p, n) for n, p in instance.ports.items())))
        instance.start(deadline)
        for name, port in instance.ports.items():
            deadline.wait_for("the %s smtpd on 127.0.0.1:%d" % (name, port),
                              lambda: e2e.accepting(port), limit=30)
        scenario(instance, deadline)
        found = e2e.complaints(instance)
        check(not found, "Postfix complained about a policy service:\n" + "\n".join(found))
        ok = True
    except e2e.RUN_FAILURES as e:
        log("FAILED: %s: %s" % (type(e).__name__, e))
    finally:
        instance.stop()
        if not ok:
            log("the instance's log:\n" + instance.maillog_text())
        instance.remove()
        if os.environ.get("MURVANE_E2E_KEEP"):
            log("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    log("passed" if ok else "failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
