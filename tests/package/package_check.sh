#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# package_check.sh DEB - install murvane's Debian package into a throwaway
# minimal Debian 12 root and check what it does there:
#
#   - apt installs it (and what it depends on) with no service started, and
#     leaves the configuration of the Postfix installed before it unchanged;
#   - the system user and group murvane exist, with the home /var/db/murvane
#     (owner murvane, mode 0700), the daemon in /usr/sbin, the manual page;
#   - the installed daemon, run as murvane on one policy request on standard
#     input, answers with the greylisting deferral and stores the triplet;
#   - the resident server's units (murvane-server.service and .socket) are
#     installed, neither enabled nor started, and pass systemd-analyze verify
#     (this machine's systemd, against the installed daemon); the installed
#     daemon, run with the service's ExecStart as murvane on a socket handed
#     over at the socket unit's ListenStream, says READY=1, answers a request
#     with the greylisting deferral, and stops in order on SIGTERM;
#   - removing the package keeps the database, and installing it again finds
#     the triplet there; purging removes the home and leaves nothing of the
#     package but its user and group (Debian leaves system users in place);
#   - the package refuses a Berkeley DB library of another patch release.
#
# The root is made with debootstrap (variant minbase) from the mirror apt uses
# on this machine, and kept as a tarball in build-chroot/ for the next run
# (MURVANE_CHROOT_CACHE=DIR elsewhere, REBUILD=1 to make it afresh). Each run
# unpacks a copy, puts a policy-rc.d that refuses every service start in it,
# and works in a private mount and PID namespace: nothing mounted or started
# in the copy outlives the run, and the copy is deleted (KEEP=1 keeps it).
#
# Needs root (debootstrap, chroot, mounts): exits 77, skipped, without it.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
suite=bookworm
recipe_version=1
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

say() { echo "package_check: $*"; }

# --- Inside the private namespaces: the checks -------------------------------

failures=0
fail() {
    say "FAILED: $*"
    failures=$((failures + 1))
}
ok() { say "ok - $*"; }

# in_root CMD... - run a command in the root with a bare environment.
in_root() {
    chroot "$root" /usr/bin/env -i PATH="$PATH" LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# as_murvane CMD... - run a command in the root as the user murvane, with
# spawn's umask, as Postfix would start the daemon.
as_murvane() {
    in_root setpriv --reuid=murvane --regid=murvane --clear-groups \
        sh -c 'umask 077; cd /; exec "$@"' murvane "$@"
}

apt_in_root() {
    in_root apt-get -o DPkg::Lock::Timeout=60 -y -q "$@" >>"$root/var/tmp/apt.log" 2>&1
}

dpkg_status() {
    in_root dpkg-query -W -f='${Status}' murvane 2>/dev/null || echo "unknown"
}

request='request=smtpd_access_policy
protocol_state=RCPT
protocol_name=ESMTP
client_address=192.0.2.77
sender=alice@example.net
recipient=bob@example.org
'

# listed_once - the dump lists the one triplet the request made, deferred
# once and never passed.
listed_once() {
    listing=$(as_murvane /usr/sbin/murvane --dump-triplets -h /var/db/murvane) || return 1
    [ "$(printf '%s\n' "$listing" | wc -l)" = 1 ] &&
        printf '%s\n' "$listing" |
        awk -F '\t' '$1 == "192.0.2.77" && $2 == "alice@example.net" &&
                     $3 == "bob@example.org" && $6 == 1 && $7 == 0 { found = 1 }
                     END { exit !found }'
}

check_install() {
    if apt_in_root install "/var/tmp/$deb_name"; then
        ok "apt-get install ./$deb_name"
    else
        tail -n 30 "$root/var/tmp/apt.log"
        fail "apt-get install of $deb_name failed"
        return 1
    fi
    [ "$(dpkg_status)" = "install ok installed" ] || fail "dpkg status: $(dpkg_status)"

    # The user and the group: a system account with the home and no shell.
    passwd=$(in_root getent passwd murvane) || { fail "no user murvane"; return 1; }
    group=$(in_root getent group murvane) || { fail "no group murvane"; return 1; }
    uid=$(echo "$passwd" | cut -d: -f3)
    gid=$(echo "$passwd" | cut -d: -f4)
    [ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] || fail "murvane's uid $uid is no system uid"
    [ "$gid" = "$(echo "$group" | cut -d: -f3)" ] ||
        fail "murvane's primary group is $gid, not the group murvane"
    [ "$(echo "$passwd" | cut -d: -f6)" = /var/db/murvane ] || fail "home of murvane: $passwd"
    [ "$(echo "$passwd" | cut -d: -f7)" = /usr/sbin/nologin ] || fail "shell of murvane: $passwd"
    ok "user $passwd, group $group"

    # stat in the root: its names, not this machine's, go with the numbers.
    home=$(in_root stat -c '%U:%G %a %F' /var/db/murvane 2>&1) || true
    if [ "$home" = "murvane:murvane 700 directory" ]; then
        ok "/var/db/murvane: $home"
    else
        fail "/var/db/murvane: $home"
    fi

    [ -x "$root/usr/sbin/murvane" ] || fail "no executable /usr/sbin/murvane"
    [ -f "$root/usr/share/man/man8/murvane.8.gz" ] || fail "no manual page murvane.8.gz"
    reported=$(in_root /usr/sbin/murvane -V </dev/null | head -n 1)
    [ "$reported" = "murvane $upstream" ] || fail "murvane -V printed '$reported'"
    ok "/usr/sbin/murvane reports '$reported'; man8/murvane.8.gz installed"
    postfix_unchanged "install"
}

# postfix_unchanged WHEN - Postfix's configuration is as it was before the
# package came.
postfix_unchanged() {
    if [ "$(postfix_config)" = "$postfix_before" ]; then
        ok "/etc/postfix unchanged after $1"
    else
        fail "$1 changed /etc/postfix: $(postfix_config)"
    fi
}

postfix_config() {
    (cd "$root/etc/postfix" && find . -type f -exec sha256sum {} + | sort)
}

check_serve() {
    expected=$(printf 'action=DEFER_IF_PERMIT Greylisted by murvane %s, try again in 3480 seconds.  See https://www.murvane.org/greylisting/ for more information.\n\n' "$upstream" | od -c)
    status=0
    printf '%s\n' "$request" >"$root/var/tmp/request"
    as_murvane /usr/sbin/murvane -h /var/db/murvane \
        <"$root/var/tmp/request" >"$root/var/tmp/answer" || status=$?
    [ "$status" = 0 ] || fail "the daemon exited with status $status"
    answer=$(od -c "$root/var/tmp/answer")
    if [ "$answer" = "$expected" ]; then
        ok "the daemon, run as murvane, defers a new triplet for 3480 seconds"
    else
        fail "the daemon answered:
$answer
expected:
$expected"
    fi
    db=$(in_root stat -c '%U:%G %a' /var/db/murvane/triplets-1.db 2>&1) || true
    [ "$db" = "murvane:murvane 600" ] || fail "triplets-1.db: $db"
    if listed_once; then
        ok "--dump-triplets as murvane lists the triplet, deferred once"
    else
        fail "--dump-triplets: $listing"
    fi
}

# unit_path NAME - where the package put a systemd unit in the root, or
# nothing.
unit_path() {
    for dir in lib/systemd/system usr/lib/systemd/system; do
        if [ -f "$root/$dir/$1" ]; then
            echo "/$dir/$1"
            return
        fi
    done
}

check_units() {
    for unit in murvane-server.service murvane-server.socket; do
        path=$(unit_path "$unit")
        if [ -z "$path" ]; then
            fail "no unit $unit installed"
            continue
        fi
        state=$(systemctl --root="$root" is-enabled "$unit" 2>&1) || true
        [ "$state" = disabled ] || fail "$unit is $state, not disabled"
        ok "$path installed, $state"
    done
    links=$(find "$root/etc/systemd" -name 'murvane*' 2>/dev/null)
    [ -z "$links" ] || fail "units enabled: $links"

    # systemd-analyze verify reads the units with the machine's own unit
    # files around them, in a root of their own that holds the installed
    # daemon (it checks that ExecStart names an executable); anything it
    # says is a finding.
    verify=$root/var/tmp/verify
    mkdir -p "$verify/usr/lib/systemd/system" "$verify/usr/sbin"
    cp -a /lib/systemd/system/. "$verify/usr/lib/systemd/system/"
    cp "$root/usr/sbin/murvane" "$verify/usr/sbin/"
    for unit in murvane-server.service murvane-server.socket; do
        cp "$root$(unit_path "$unit")" "$verify/usr/lib/systemd/system/"
    done
    if out=$(systemd-analyze verify --man=no --root="$verify" \
        murvane-server.service murvane-server.socket 2>&1) && [ -z "$out" ]; then
        ok "systemd-analyze verify: nothing to say about either unit"
    else
        fail "systemd-analyze verify: $out"
    fi
    rm -rf "$verify"
}

# check_server_unit - what systemd would do with the units, without systemd:
# the socket made at the socket unit's ListenStream, handed over as fd 3
# (LISTEN_FDS, LISTEN_PID) to the service's ExecStart run in the root as
# murvane with umask 077, READY=1 awaited on NOTIFY_SOCKET, one request, then
# SIGTERM. Bounded throughout; python3 plays systemd and the mail server.
check_server_unit() {
    service=$(unit_path murvane-server.service)
    socket_unit=$(unit_path murvane-server.socket)
    [ -n "$service" ] && [ -n "$socket_unit" ] || return
    if out=$(python3 - "$root" "$root$service" "$root$socket_unit" "$upstream" 2>&1 <<'PYTHON'
import os, pwd, select, shlex, signal, socket, sys, time

root, service, socket_unit, version = sys.argv[1:]

def setting(path, name):
    with open(path) as f:
        found = [l.split("=", 1)[1].strip() for l in f if l.startswith(name + "=")]
    if len(found) != 1:
        sys.exit("%s: %d %s= lines" % (path, len(found), name))
    return found[0]

argv = shlex.split(setting(service, "ExecStart"))
path = setting(socket_unit, "ListenStream")
user = setting(service, "User")
entry = [l.split(":") for l in open(root + "/etc/passwd") if l.split(":")[0] == user][0]
uid, gid = int(entry[2]), int(entry[3])

notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind("\0murvane-package-check-%d" % os.getpid())
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
if os.path.lexists(root + path):
    os.unlink(root + path)
listener.bind(root + path)
listener.listen(16)
pid = os.fork()
if pid == 0:
    try:
        os.dup2(listener.fileno(), 3)
        os.chroot(root)
        os.chdir("/")
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
        os.umask(0o077)
        os.execve(argv[0], argv, {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LISTEN_PID": str(os.getpid()),
            "LISTEN_FDS": "1", "NOTIFY_SOCKET": "@murvane-package-check-%d" % os.getppid()})
    finally:
        os._exit(127)
listener.close()
status = None
try:
    messages = []
    end = time.monotonic() + 30
    while "READY=1" not in messages and time.monotonic() < end:
        if select.select([notify], [], [], 0.5)[0]:
            messages += notify.recv(4096).decode().split("\n")
        done, status_word = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(status_word)
            sys.exit("the server exited with status %d before it was ready" % status)
    if "READY=1" not in messages:
        sys.exit("no READY=1 within 30 s: %r" % messages)
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(30)
    client.connect(root + path)
    client.sendall(b"request=smtpd_access_policy\nprotocol_state=RCPT\n"
                   b"protocol_name=ESMTP\nclient_address=192.0.2.78\n"
                   b"sender=alice@example.net\nrecipient=bob@example.org\n\n")
    answer = b""
    while not answer.endswith(b"\n\n"):
        part = client.recv(4096)
        if not part:
            break
        answer += part
    client.close()
    expected = ("action=DEFER_IF_PERMIT Greylisted by murvane %s, try again in 3480 "
                "seconds.  See https://www.murvane.org/greylisting/ for more "
                "information.\n\n" % version).encode()
    if answer != expected:
        sys.exit("the server answered %r" % answer)
    os.kill(pid, signal.SIGTERM)
    end = time.monotonic() + 30
    while status is None and time.monotonic() < end:
        done, status_word = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(status_word)
        else:
            time.sleep(0.05)
    if status != 0:
        sys.exit("the server's status after SIGTERM: %r" % status)
finally:
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    if os.path.lexists(root + path):
        os.unlink(root + path)
PYTHON
    ); then
        ok "the service's ExecStart, run as murvane on a handed-over socket, answers and stops in order"
    else
        fail "the service's ExecStart on a handed-over socket: $out"
    fi
}

check_remove() {
    apt_in_root remove murvane || fail "apt-get remove failed"
    [ "$(dpkg_status)" = "deinstall ok config-files" ] || fail "dpkg status after remove: $(dpkg_status)"
    [ ! -e "$root/usr/sbin/murvane" ] || fail "/usr/sbin/murvane is left after remove"
    [ ! -e "$root/usr/share/man/man8/murvane.8.gz" ] || fail "the manual page is left after remove"
    [ -f "$root/var/db/murvane/triplets-1.db" ] || fail "remove deleted the database"
    for unit in murvane-server.service murvane-server.socket; do
        [ -z "$(unit_path "$unit")" ] || fail "$unit is left after remove"
    done
    in_root getent passwd murvane >/dev/null || fail "remove deleted the user"
    ok "apt-get remove: the daemon is gone, /var/db/murvane/triplets-1.db kept"

    # Installing again keeps the home as it is and finds the triplet.
    apt_in_root install "/var/tmp/$deb_name" || fail "installing again failed"
    if listed_once; then
        ok "installed again: the database still holds the triplet"
    else
        fail "installed again, --dump-triplets: $listing"
    fi
}

check_purge() {
    apt_in_root purge murvane || fail "apt-get purge failed"
    status=$(dpkg_status)
    case $status in
    unknown | "unknown ok not-installed" | "") ;;
    *) fail "dpkg status after purge: $status" ;;
    esac
    [ ! -e "$root/var/db/murvane" ] || fail "purge left /var/db/murvane"
    [ ! -e "$root/var/db" ] || fail "purge left /var/db, which the package made"
    left=$(cd "$root" && find . -xdev -name '*murvane*' ! -path "./var/tmp/$deb_name" \
        ! -path ./proc/\* 2>/dev/null)
    [ -z "$left" ] || fail "files left after purge: $left"
    in_root getent passwd murvane >/dev/null || fail "purge deleted the user murvane"
    in_root getent group murvane >/dev/null || fail "purge deleted the group murvane"
    ok "apt-get purge: no file of the package left, the user and group murvane kept"
    postfix_unchanged "remove, install and purge"
}

# A libdb5.3 of the next patch release: the package must refuse it rather than
# let the daemon run on a library its headers do not describe.
check_other_libdb() {
    depends=$(dpkg-deb -f "$root/var/tmp/$deb_name" Depends)
    bound=$(printf '%s\n' "$depends" | sed -n 's/.*libdb5\.3 (<< \([^)~]*\)~*).*/\1/p')
    if [ -z "$bound" ]; then
        fail "Depends sets no upper bound on libdb5.3: $depends"
        return
    fi
    fake=$root/var/tmp/fake-libdb
    mkdir -p "$fake/DEBIAN"
    printf 'Package: libdb5.3\nVersion: %s-1\nArchitecture: %s\nMulti-Arch: same\nMaintainer: package_check <root@localhost>\nDescription: stand-in of another Berkeley DB release\n' \
        "$bound" "$(dpkg-deb -f "$root/var/tmp/$deb_name" Architecture)" >"$fake/DEBIAN/control"
    dpkg-deb -b "$fake" "$root/var/tmp/libdb5.3-fake.deb" >/dev/null
    in_root dpkg -i /var/tmp/libdb5.3-fake.deb >>"$root/var/tmp/apt.log" 2>&1 ||
        { fail "could not install the stand-in libdb5.3 $bound-1"; return; }
    if out=$(in_root dpkg -i "/var/tmp/$deb_name" 2>&1); then
        fail "the package was configured with libdb5.3 $bound-1: $out"
    elif printf '%s\n' "$out" | grep -q "depends on libdb5.3 (<< $bound~)"; then
        ok "dpkg refuses to configure it with libdb5.3 $bound-1"
    else
        fail "dpkg failed for another reason: $out"
    fi
}

inside() {
    root=$1 deb_name=$2 upstream=$3
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    : >"$root/var/tmp/apt.log"
    if ! apt_in_root update; then
        tail -n 20 "$root/var/tmp/apt.log"
        fail "apt-get update in the root failed"
        exit 1
    fi
    # Postfix first, configured as an admin's would be (but never started):
    # the package must leave its configuration alone.
    printf 'postfix postfix/main_mailer_type select Internet Site\npostfix postfix/mailname string mx.example.org\n' |
        in_root debconf-set-selections
    if ! apt_in_root install postfix; then
        tail -n 20 "$root/var/tmp/apt.log"
        fail "apt-get install postfix in the root failed"
        exit 1
    fi
    postfix_before=$(postfix_config)
    ok "postfix installed first, as an Internet Site (and not started)"
    if check_install; then
        check_serve
        check_units
        check_remove
        check_server_unit
        check_purge
        check_other_libdb
    fi
    [ "$failures" = 0 ] || { say "$failures check(s) failed"; exit 1; }
    say "passed"
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit 0
fi

# --- Outside: the base root, the copy, the namespaces --------------------------

if [ $# != 1 ]; then
    echo "usage: package_check.sh DEB" >&2
    exit 2
fi
deb=$(readlink -f -- "$1")
[ -f "$deb" ] || { echo "package_check: no such package: $1" >&2; exit 2; }
if [ "$(id -u)" != 0 ]; then
    say "skipped: needs root (debootstrap, chroot, mounts)"
    exit 77
fi
# systemd: systemctl and systemd-analyze read the root's units offline.
sh "$source_dir/scripts/deps.sh" debootstrap systemd
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}

mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    awk -v s="$suite" '$1 == s { sub(/\/$/, "", $2); print $2; exit }')
mirror=${mirror:-http://deb.debian.org/debian}
# The settings apt needs to reach that mirror here (proxies, a snapshot's
# dates) go into the root as well.
acquire=$(apt-config dump 2>/dev/null |
    grep -E '^Acquire::(Check-Valid-Until|Check-Date|(http|https|ftp)::Proxy(::[^ ]+)?) ' || true)

cache=${MURVANE_CHROOT_CACHE:-$source_dir/build-chroot}
mkdir -p "$cache"
cache=$(readlink -f -- "$cache")
recipe=$(printf 'version=%s\nsuite=%s\nvariant=minbase\nmirror=%s\nacquire=%s\n' \
    "$recipe_version" "$suite" "$mirror" "$acquire")
work=$(mktemp -d "$cache/run.XXXXXX")
cleanup() {
    # The mounts lived in the private namespace; make sure of it before
    # deleting anything.
    if findmnt -rn -o TARGET | grep -q -F "$work/"; then
        say "something is still mounted below $work: left in place"
    elif [ "${KEEP:-}" = 1 ]; then
        say "kept the root in $work/root"
    else
        rm -rf --one-file-system -- "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' HUP INT TERM

if [ "${REBUILD:-}" = 1 ] || [ ! -s "$cache/base.tar" ] ||
    [ "$(cat "$cache/recipe" 2>/dev/null)" != "$recipe" ]; then
    say "making a minimal $suite root with debootstrap from $mirror (a few minutes)"
    rm -f "$cache/base.tar" "$cache/recipe"
    base=$work/base
    # debootstrap mounts in the target: a private mount namespace keeps those
    # mounts from outliving it.
    if ! unshare --mount --propagation private -- \
        debootstrap --variant=minbase "$suite" "$base" "$mirror" \
        >"$cache/debootstrap.log" 2>&1; then
        tail -n 20 "$cache/debootstrap.log"
        say "FAILED: debootstrap failed; see $cache/debootstrap.log"
        exit 1
    fi
    if [ -n "$acquire" ]; then
        printf '// how the machine that made this root reaches the mirror\n%s\n' "$acquire" \
            >"$base/etc/apt/apt.conf.d/99package-check"
    fi
    rm -rf "$base/var/cache/apt/archives/"*.deb
    tar -C "$base" --numeric-owner -cf "$cache/base.tar.part" .
    mv "$cache/base.tar.part" "$cache/base.tar"
    printf '%s\n' "$recipe" >"$cache/recipe"
    rm -rf --one-file-system -- "$base"
else
    say "reusing the minimal $suite root in $cache/base.tar"
fi

root=$work/root
mkdir "$root"
tar -C "$root" --numeric-owner -xpf "$cache/base.tar"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || : >"$root/etc/resolv.conf"
# As on the project's machines: package installs start no service.
printf '#!/bin/sh\n# package_check.sh: no package starts a service in this root\nexit 101\n' \
    >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/var/tmp/"
chmod 644 "$root/var/tmp/$(basename "$deb")"

say "installing $(basename "$deb") into a fresh root in $root"
unshare --mount --pid --fork --kill-child --propagation private -- \
    sh "$here/package_check.sh" --inside "$root" "$(basename "$deb")" "$upstream"
