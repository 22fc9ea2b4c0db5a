#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# package.sh - build murvane's Debian package and lint it.
#
# Installs the build dependencies (through deps.sh), builds the binary package
# with dpkg-buildpackage from a copy of the tree in build-package/, and leaves
# build-package/murvane_VERSION-REVISION_ARCH.deb there; then runs lintian on
# it, and fails on any error or warning that debian/ does not override with
# its reason. The version is the one the code reports (CMakeLists.txt's
# project VERSION, printed by murvane -V); debian/changelog must agree.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh build-essential debhelper dpkg-dev lintian cmake libdb5.3-dev libspf2-dev libpsl-dev

out=build-package
version=$(sed -n 's/^project(murvane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
revision=$(dpkg-parsechangelog -S Version)
if [ -z "$version" ] || [ "${revision%-*}" != "$version" ]; then
    echo "package.sh: debian/changelog is at $revision, the code at ${version:-?}:" \
        "add a changelog entry for $version" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)
deb=$out/murvane_${revision}_${arch}.deb

# dpkg-buildpackage writes its results next to the source directory, so the
# source is copied one level down in build-package/: the files git knows of
# plus new ones it does not ignore (none of the other build directories).
rm -rf "$out"
mkdir -p "$out/murvane-$version"
git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -cf - --no-recursion |
    tar -xf - -C "$out/murvane-$version"
(cd "$out/murvane-$version" &&
    DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -us -uc) \
    >"$out/build.log" 2>&1 || {
    tail -n 40 "$out/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
[ -f "$deb" ] || { echo "package.sh: no $deb after the build" >&2; exit 1; }

# What the packaged daemon reports must be the package's version.
unpacked=$out/unpacked
dpkg-deb -x "$deb" "$unpacked"
reported=$("$unpacked/usr/sbin/murvane" -V </dev/null | head -n 1)
if [ "$reported" != "murvane $version" ]; then
    echo "package.sh: the packaged daemon reports '$reported', not 'murvane $version'" >&2
    exit 1
fi
rm -rf "$unpacked"

echo "package.sh: built $deb" >&2
dpkg-deb -f "$deb" Package Version Architecture Depends >&2
# --fail-on error,warning: a warning fails like an error; an overridden tag
# does not. The overrides of debian/murvane.lintian-overrides are then listed
# with their reasons (a listing run only: lintian exits 2 whenever it shows
# an override, so its status says nothing).
lintian --fail-on error,warning --info "$deb"
lintian --show-overrides "$deb" | grep -v '^N: *$' >&2 || true
echo "package.sh: lintian found no error and no warning" >&2
