#!/usr/bin/env bash
# Makes veskacure-VERSION-win32.zip in OUT: veskacure.exe (from EXE) and
# README.TXT with DOS line ends, in name order, both dated SOURCE_DATE_EPOCH
# (UTC), without the extra fields that carry owners and other times, so that
# one commit always gives the same bytes. Usage: make_zip.sh EXE VERSION OUT
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 EXE VERSION OUT" >&2; exit 2; }
exe=$(realpath "$1")
version=$2
out=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")
: "${SOURCE_DATE_EPOCH:=$(git -C "$here" log -1 --format=%ct)}"
umask 022

# The intro screen names its version too: both must be the project's.
if ! grep -aq "VESKACURE Version $version " "$exe"; then
    echo "make_zip: $exe does not say VESKACURE Version $version" >&2
    exit 1
fi

work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/zip.XXXXXX")")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/veskacure.exe"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$here/README.TXT" > "$work/README.TXT"
chmod 0644 "$work/README.TXT" "$work/veskacure.exe"
touch -d "@$SOURCE_DATE_EPOCH" "$work/README.TXT" "$work/veskacure.exe"

mkdir -p "$out"
zip=$out/veskacure-$version-win32.zip
rm -f "$zip"
(cd "$work" && TZ=UTC zip -q -X -D -9 "$zip" README.TXT veskacure.exe)
echo "$zip"
