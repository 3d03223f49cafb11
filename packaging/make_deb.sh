#!/usr/bin/env bash
# Makes veskacure-offline_VERSION_ARCH.deb in OUT from the native build in
# BUILD: the files are those `cmake --install` puts there (program stripped),
# Depends comes from dpkg-shlibdeps, the version and date from the changelog
# that the build made (CMake's project version, SOURCE_DATE_EPOCH). Every file
# gets that date, root as owner and a fixed mode, so that one commit always
# gives the same bytes. Usage: make_deb.sh BUILD OUT
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD OUT" >&2; exit 2; }
build=$(realpath "$1")
out=$(realpath -m "$2")
here=$(dirname "$(realpath "$0")")
package=veskacure-offline
umask 022

work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/deb.XXXXXX")")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
root=$work/debian/$package
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null

# dpkg-shlibdeps and dpkg-gencontrol work from a debian/ folder, the files in
# debian/PACKAGE.
cp "$here/control" "$work/debian/control"
zcat "$root/usr/share/doc/$package/changelog.gz" > "$work/debian/changelog"
cd "$work"
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
export SOURCE_DATE_EPOCH
mkdir -m 0755 "$root/DEBIAN"
dpkg-shlibdeps -Tdebian/substvars "debian/$package/usr/bin/$package"
dpkg-gencontrol -p"$package" -P"$root" -Tdebian/substvars -fdebian/files
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) > "$root/DEBIAN/md5sums"

find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
chmod 0755 "debian/$package/usr/bin/$package"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
echo "$out/${package}_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb"
