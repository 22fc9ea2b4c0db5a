#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""spf_e2e.py - --spf, --auto-whitelist and --selective behind a real Postfix.

The test moves itself into a network and mount namespace of its own, gives
its loopback interface the addresses 192.0.2.2 to 192.0.2.6, starts dnsmasq
on 127.0.0.1 serving the SPF record of pool.test (which authorises 192.0.2.2
and 192.0.2.3 and fails every other address) and the names of two clients,
each both ways (A and PTR), so that Postfix's smtpd finds a forward-confirmed
name for them: mx.good.test for 192.0.2.5 and dsl-192-0-2-6.dynamic.test for
192.0.2.6 (the other addresses have no name). It bind-mounts a resolv.conf naming it over /etc/resolv.conf, for this namespace
alone: no query leaves it. (In a chroot, whose "/" is no mount point that
could be made private, no mount is made: dnsmasq takes instead the addresses
of the nameservers /etc/resolv.conf names, given to the namespace's loopback.)
In there it builds a private Postfix instance as
postfix_e2e.py does, with four smtpd listeners, each asking a murvane
service of its own (own home, -g 2):

  - plain: a message from 192.0.2.2 is deferred, and its retry after the
    delay from 192.0.2.3 is deferred again, as a new triplet;
  - --spf: the same retry is accepted and the message is tagged as having
    passed greylisting (the triplet keyed on pool.test, which the listing
    shows as spf:pool.test); a message from 192.0.2.4, which pool.test does
    not authorise, is a new triplet keyed on its address;
  - --auto-whitelist 2: once two triplets of 192.0.2.2 have passed, a message
    from it to a new recipient is accepted at once, untagged, and
    --dump-clients lists the client with its two passes and one triplet let
    through;
  - --selective: mx.good.test, saying HELO mx.good.test, is accepted at
    once, its message untagged and no triplet stored for it, while plain
    greylisting defers it; dsl-192-0-2-6.dynamic.test, forward-confirmed and
    with a proper HELO too, is deferred by both, its name alone being the
    sign. Postfix's log must show both names as smtpd found them, so that
    the names reached the daemon from Postfix's own DNS.

The SMTP client binds its connections to those addresses: the SPF library
answers "pass" for any loopback client, so only such addresses prove that
the domain's record decided.

Usage: spf_e2e.py MURVANE_BINARY. Needs root, as Postfix's master does, and
network and mount namespaces (exit 77, which CTest counts as skipped,
otherwise, with the reason). Every wait is bounded; every process
the test started is stopped, by PID, also when a check fails.
MURVANE_E2E_KEEP=1 keeps the temporary directory.
"""

import ctypes
import errno
import fcntl
import os
import select
import smtplib
import socket
import struct
import subprocess
import sys
import time

# Importing postfix_e2e must leave no __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import postfix_e2e as e2e  # noqa: E402  (the instance, SMTP and dump helpers)
from postfix_e2e import DELAY, DOMAIN, SPAWN_USER, check  # noqa: E402

SCENARIO_SECONDS = 300

POOL_DOMAIN = "pool.test"
SENDER = "alice@" + POOL_DOMAIN
POOL = ["192.0.2.2", "192.0.2.3"]   # what pool.test authorises
STRANGER = "192.0.2.4"              # an address it does not
# Clients with forward-confirmed names: a mail server's, and an access
# network's (the name made of the address).
SERVER = ("192.0.2.5", "mx.good.test")
HOME_LINE = ("192.0.2.6", "dsl-192-0-2-6.dynamic.test")
SPF_RECORD = "v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all"
DNSMASQ = "/usr/sbin/dnsmasq"

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
MS_BIND = 0x1000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
SIOCSIFADDR = 0x8916
SIOCSIFNETMASK = 0x891C
IFF_UP = 0x1
IFREQ_SIZE = 40


def log(message):
    print("spf_e2e: " + message, flush=True)


class NoNamespace(Exception):
    """The machine cannot give the test a namespace of its own."""


def libc_call(libc, what, result):
    if result != 0:
        errno = ctypes.get_errno()
        raise NoNamespace("%s: %s" % (what, os.strerror(errno)))


def ifreq_flags(name, flags=0):
    return struct.pack("16sh", name.encode(), flags).ljust(IFREQ_SIZE, b"\0")


def ifreq_address(name, address):
    return struct.pack("16sHH4s", name.encode(), socket.AF_INET, 0,
                       socket.inet_aton(address)).ljust(IFREQ_SIZE, b"\0")


def nameservers():
    """The IPv4 nameservers /etc/resolv.conf names (127.0.0.1 when none, as
    the resolver does)."""
    found = []
    try:
        with open("/etc/resolv.conf") as f:
            for line in f:
                words = line.split()
                if len(words) >= 2 and words[0] == "nameserver":
                    try:
                        socket.inet_aton(words[1])
                    except OSError:
                        raise NoNamespace("/etc/resolv.conf names %s, not an IPv4 "
                                          "address the test can take" % words[1])
                    found.append(words[1])
    except FileNotFoundError:
        pass
    return found or ["127.0.0.1"]


def enter_namespace(resolv_conf):
    """A network and mount namespace of our own, with lo up and the test's
    addresses; returns where dnsmasq must answer. Mounts made here stay
    here: /etc/resolv.conf names 127.0.0.1. In a chroot, where "/" is no
    mount point (EINVAL), nothing is mounted: dnsmasq answers at the
    nameservers the file names, given to lo."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc_call(libc, "unshare", libc.unshare(CLONE_NEWNET | CLONE_NEWNS))
    private = libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) == 0
    if not private and ctypes.get_errno() != errno.EINVAL:
        libc_call(libc, "mount MS_PRIVATE on /", -1)
    listen = ["127.0.0.1"] if private else nameservers()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            flags = struct.unpack_from("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, ifreq_flags("lo")))[1]
            fcntl.ioctl(s, SIOCSIFFLAGS, ifreq_flags("lo", flags | IFF_UP))
            # One alias of lo per address, each a /32 of its own.
            aliases = POOL + [STRANGER, SERVER[0], HOME_LINE[0]] + [a for a in listen if a != "127.0.0.1"]
            for n, address in enumerate(aliases, start=1):
                alias = "lo:%d" % n
                fcntl.ioctl(s, SIOCSIFADDR, ifreq_address(alias, address))
                fcntl.ioctl(s, SIOCSIFNETMASK, ifreq_address(alias, "255.255.255.255"))
        except OSError as e:
            raise NoNamespace("the loopback interface: %s" % e)
    if private:
        with open(resolv_conf, "w") as f:
            f.write("nameserver 127.0.0.1\n")
        os.chmod(resolv_conf, 0o644)
        libc_call(libc, "bind-mount of resolv.conf",
                  libc.mount(resolv_conf.encode(), b"/etc/resolv.conf", None, MS_BIND, None))
    return listen


def start_dnsmasq(listen, deadline):
    """dnsmasq at the addresses `listen`, answering for the test's names only;
    returns the process once it has said it started."""
    process = subprocess.Popen(
        [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
         "--no-hosts"] + ["--listen-address=" + a for a in listen] + ["--bind-interfaces",
         "--user=root", "--group=root", "--pid-file=", "--log-facility=-",
         "--local=/test/", "--local=/in-addr.arpa/", "--local=/ip6.arpa/",
         "--txt-record=%s,%s" % (POOL_DOMAIN, SPF_RECORD)]
        + ["--host-record=%s,%s" % (name, address) for address, name in (SERVER, HOME_LINE)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    said = b""
    end = min(deadline.end, time.monotonic() + 20)
    while b"started, version" not in said:
        left = end - time.monotonic()
        ready = select.select([process.stderr], [], [], max(0, left))[0] if left > 0 else []
        chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
        if not chunk:
            process.kill()
            process.wait()
            raise e2e.Failure("dnsmasq did not start: %r" % said.decode(errors="replace"))
        said += chunk
    return process


def spf_answer(server, deadline):
    """The record as dnsmasq serves it, one string of its own, so that a
    failure of the DNS set-up is told apart from one of the daemon."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(max(1, min(5, deadline.left())))
        query = struct.pack(">HHHHHH", 0x5350, 0x0100, 1, 0, 0, 0)
        for label in POOL_DOMAIN.split("."):
            query += bytes([len(label)]) + label.encode()
        query += b"\0" + struct.pack(">HH", 16, 1)   # TXT, IN
        s.sendto(query, (server, 53))
        answer = s.recv(4096)
    check(bytes([len(SPF_RECORD)]) + SPF_RECORD.encode() in answer,
          "dnsmasq does not serve the SPF record as it is: %r" % answer)


# --- the instance -------------------------------------------------------------

# Each listener's murvane service, by name: its options besides -h and -g.
SERVICES = {
    "plain": [],
    "spf": ["--spf"],
    "awl": ["--auto-whitelist", "2"],
    "selective": ["--selective"],
}


def configure(instance):
    """Four smtpd listeners on 127.0.0.1, each asking its own murvane: the
    template's listener and service are the plain ones."""
    instance.ports = {"plain": instance.port}
    instance.homes = {"plain": instance.home}
    main_cf, master_cf = [], []
    for name, options in SERVICES.items():
        if name == "plain":
            continue
        port = e2e.free_port()
        check(port not in instance.ports.values(), "the kernel gave one port twice; run again")
        instance.ports[name] = port
        home = os.path.join(instance.root, "murvane-" + name)
        os.mkdir(home, 0o700)
        os.chown(home, instance.uid, instance.gid)
        instance.homes[name] = home
        service = "murvane-" + name
        main_cf += ["%s_restrictions = reject_unauth_destination, reject_unlisted_recipient,"
                    " check_policy_service unix:private/%s" % (name, service),
                    "%s_time_limit = 3600s" % service]
        master_cf += ["127.0.0.1:%d inet n - n - 1 smtpd" % port,
                      "    -o smtpd_recipient_restrictions=$%s_restrictions" % name,
                      "%s unix - n n - 0 spawn" % service,
                      "    user=%s argv=%s -h %s -g %d %s" % (
                          SPAWN_USER, instance.murvane, home, DELAY, " ".join(options))]
    for file_name, lines in (("main.cf", main_cf), ("master.cf", master_cf)):
        with open(os.path.join(instance.config, file_name), "a") as f:
            f.write("\n".join(lines) + "\n")


def start(instance, deadline):
    """The instance, once each of its listeners accepts connections."""
    instance.start(deadline)
    for name, port in instance.ports.items():
        deadline.wait_for("the %s smtpd on 127.0.0.1:%d" % (name, port),
                          lambda: e2e.accepting(port), limit=30)


def send(instance, service, client, recipient, tag=None, helo="mta." + POOL_DOMAIN):
    """One SMTP transaction from `client`, saying EHLO helo, to the listener
    of `service`: RCPT TO recipient, and DATA when tag is given and the
    recipient was accepted. Returns the RCPT reply as (code, text)."""
    session = smtplib.SMTP("127.0.0.1", instance.ports[service], local_hostname=helo,
                           timeout=e2e.SMTP_SECONDS, source_address=(client, 0))
    try:
        code, text = session.ehlo()
        check(code == 250, "EHLO answered %d %r" % (code, text))
        code, text = session.mail(SENDER)
        check(code == 250, "MAIL FROM answered %d %r" % (code, text))
        code, text = session.rcpt(recipient)
        if tag is not None and code == 250:
            e2e.data_sent(session.data(message_text(tag, recipient)), tag)
        session.quit()
    finally:
        session.close()
    return code, text.decode()


def message_text(tag, recipient):
    return ("From: <%s>\r\nTo: <%s>\r\nSubject: %s\r\nMessage-ID: <%s@%s>\r\n"
            "\r\nThis is message %s.\r\n" % (SENDER, recipient, tag, tag, POOL_DOMAIN, tag))


def new_triplet(reply, recipient):
    """A deferral of a triplet seen for the first time: the whole delay left."""
    left = e2e.seconds_left(reply, recipient)
    check(left == DELAY, "<%s> deferred with %d seconds left: not a new triplet"
          % (recipient, left))
    return left


def wait_out(left, deadline):
    """Past the delay a deferral named, whatever the rounding of its seconds."""
    check(deadline.left() > left + 1, "no time left to wait out the delay")
    time.sleep(left + 1)


def listing(instance, service):
    """--dump-triplets of a service's home: {(address, sender, recipient):
    (deferred, passed)}."""
    return {k: v[2:] for k, v in instance.dump_all(instance.homes[service]).items()}


def dump_clients(instance, service):
    """--dump-clients of a service's home: {client: (passed, let through)}."""
    result = e2e.run([instance.murvane, "--dump-clients", "-h", instance.homes[service]],
                     cwd="/", preexec_fn=instance.as_spawn_user(),
                     env={"TZ": "UTC0", "PATH": e2e.PATH})
    check(result.returncode == 0 and result.stderr == b"", "--dump-clients exited with %d: %r"
          % (result.returncode, result.stderr))
    clients = {}
    for line in result.stdout.decode().splitlines():
        fields = line.split("\t")
        check(len(fields) == 5, "client line without five fields: %r" % line)
        clients[fields[0]] = (int(fields[3]), int(fields[4]))
    return clients


def pool_retry(instance, deadline):
    """The pool's retry from another address, with and without --spf."""
    bob = "bob@" + DOMAIN
    log("plain: 192.0.2.2 deferred, its retry from 192.0.2.3 is a new triplet")
    left = new_triplet(send(instance, "plain", POOL[0], bob), bob)
    wait_out(left, deadline)
    new_triplet(send(instance, "plain", POOL[1], bob), bob)
    expected = {(POOL[0], SENDER, bob): (1, 0), (POOL[1], SENDER, bob): (1, 0)}
    found = listing(instance, "plain")
    check(found == expected, "plain listing %r, expected %r" % (found, expected))

    log("--spf: 192.0.2.2 deferred, its retry from 192.0.2.3 passes, tagged")
    left = new_triplet(send(instance, "spf", POOL[0], bob), bob)
    wait_out(left, deadline)
    reply = send(instance, "spf", POOL[1], bob, tag="spf-pool-retry")
    e2e.accepted(reply, bob)
    e2e.check_tagged(e2e.delivered(instance, bob, "spf-pool-retry", deadline),
                     "spf-pool-retry")
    log("--spf: 192.0.2.4, which pool.test does not authorise, is a new triplet")
    new_triplet(send(instance, "spf", STRANGER, bob), bob)
    expected = {("spf:" + POOL_DOMAIN, SENDER, bob): (1, 1), (STRANGER, SENDER, bob): (1, 0)}
    found = listing(instance, "spf")
    check(found == expected, "--spf listing %r, expected %r" % (found, expected))


def proven_client(instance, deadline):
    """--auto-whitelist 2: two passes, then a new recipient at once."""
    client = POOL[0]
    for n, box in enumerate(("bob", "carol"), start=1):
        recipient = "%s@%s" % (box, DOMAIN)
        log("--auto-whitelist 2: triplet %d of 192.0.2.2 (<%s>) passes greylisting"
            % (n, recipient))
        left = new_triplet(send(instance, "awl", client, recipient), recipient)
        wait_out(left, deadline)
        tag = "awl-pass-%d" % n
        e2e.accepted(send(instance, "awl", client, recipient, tag=tag), recipient)
        e2e.check_tagged(e2e.delivered(instance, recipient, tag, deadline), tag)
    dave = "dave@" + DOMAIN
    log("--auto-whitelist 2: a message from 192.0.2.2 to a new recipient passes at once")
    e2e.accepted(send(instance, "awl", client, dave, tag="awl-listed"), dave)
    headers = e2e.delivered(instance, dave, "awl-listed", deadline)
    check(headers == [], "the whitelisted client's message carries %r" % headers)
    log("--auto-whitelist 2: on a client the list does not hold, a new triplet waits")
    new_triplet(send(instance, "awl", POOL[1], dave), dave)
    found = dump_clients(instance, "awl")
    check(found.get(client) == (2, 1), "--dump-clients lists %r: expected %s with 2 "
          "passed triplets and 1 let through" % (found, client))
    check(found.get(POOL[1]) is None, "--dump-clients lists %r: 192.0.2.3 never passed"
          % found)
    expected = {(client, SENDER, "bob@" + DOMAIN): (1, 1),
                (client, SENDER, "carol@" + DOMAIN): (1, 1),
                (client, SENDER, dave): (0, 1),
                (POOL[1], SENDER, dave): (1, 0)}
    found = listing(instance, "awl")
    check(found == expected, "--auto-whitelist listing %r, expected %r" % (found, expected))


def selective_clients(instance, deadline):
    """--selective lets the mail server through at once and untouched, and
    greylists the access-network client as plain greylisting does."""
    erin = "erin@" + DOMAIN
    server, server_name = SERVER
    home_line, home_name = HOME_LINE
    log("--selective: %s (%s) is accepted at once, untagged" % (server_name, server))
    e2e.accepted(send(instance, "selective", server, erin, tag="selective-server",
                      helo=server_name), erin)
    headers = e2e.delivered(instance, erin, "selective-server", deadline)
    check(headers == [], "the let-through message carries %r" % headers)
    log("plain: %s is deferred, a new triplet" % server_name)
    new_triplet(send(instance, "plain", server, erin, helo=server_name), erin)
    log("--selective and plain: %s is deferred, a new triplet" % home_name)
    for service in ("selective", "plain"):
        new_triplet(send(instance, service, home_line, erin, helo=home_name), erin)

    # What smtpd found in DNS, from its "connect from NAME[ADDRESS]" lines:
    # a forward-confirmed name for both clients, so only the dynamic one's
    # name set it apart.
    text = instance.maillog_text()
    for address, name in (SERVER, HOME_LINE):
        check("connect from %s[%s]" % (name, address) in text,
              "Postfix's log shows no connection from %s[%s]: its smtpd did not find "
              "the forward-confirmed name" % (name, address))
    expected = {(home_line, SENDER, erin): (1, 0)}
    found = listing(instance, "selective")
    check(found == expected, "--selective listing %r, expected %r" % (found, expected))
    found = listing(instance, "plain")
    for address in (server, home_line):
        check(found.get((address, SENDER, erin)) == (1, 0), "plain listing %r: expected a "
              "deferred triplet of %s" % (found, address))


def main(argv):
    if len(argv) != 2:
        print("usage: spf_e2e.py MURVANE_BINARY", file=sys.stderr)
        return 2
    murvane = os.path.abspath(argv[1])
    refused = e2e.prepare(log)
    if refused is not None:
        return refused
    if not os.access(DNSMASQ, os.X_OK):
        log("FAILED: dnsmasq (Debian package dnsmasq-base) is not installed")
        return 1

    work = e2e.tempfile.mkdtemp(prefix="murvane-spf-e2e-")
    try:
        listen = enter_namespace(os.path.join(work, "resolv.conf"))
    except NoNamespace as e:
        e2e.shutil.rmtree(work, ignore_errors=True)
        log("skipped: no namespace of our own for the DNS server: %s" % e)
        return e2e.SKIPPED

    instance = e2e.Instance()
    dnsmasq = None
    ok = False
    try:
        deadline = e2e.Deadline(SCENARIO_SECONDS)
        dnsmasq = start_dnsmasq(listen, deadline)
        spf_answer(listen[0], deadline)
        instance.build(murvane)
        configure(instance)
        log("private instance in %s; smtpd on 127.0.0.1 ports %s" % (
            instance.root, ", ".join("%d (%s)" % (p, n) for n, p in instance.ports.items())))
        start(instance, deadline)
        pool_retry(instance, deadline)
        proven_client(instance, deadline)
        selective_clients(instance, deadline)
        found = e2e.complaints(instance)
        check(not found, "Postfix complained about a policy service:\n" + "\n".join(found))
        ok = True
    except e2e.RUN_FAILURES as e:
        log("FAILED: %s: %s" % (type(e).__name__, e))
    finally:
        instance.stop()
        if dnsmasq is not None:
            dnsmasq.terminate()
            try:
                dnsmasq.wait(timeout=10)
            except subprocess.TimeoutExpired:
                dnsmasq.kill()
                dnsmasq.wait()
        if not ok:
            log("the instance's log:\n" + instance.maillog_text())
        instance.remove()
        if os.environ.get("MURVANE_E2E_KEEP"):
            log("kept " + work)
        else:
            e2e.shutil.rmtree(work, ignore_errors=True)
    log("passed" if ok else "failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
