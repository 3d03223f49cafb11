#!/usr/bin/env bash
# Installs what building and testing need on Debian 12: the mingw-w64 cross
# compiler, Wine (32-bit, and 64-bit for the tests under WoW64), GoogleTest, clang with its sanitizer and fuzzer
# runtimes, CMake; for veskacure-offline CLI11, nlohmann/json and Nettle
# (SHA-256), hivex (registry hives; pkg-config finds it),
# libarchive (archives and CD images), libblkid (volume identity, disk images),
# ntfs-3g (the NTFS volumes of the disk images it opens) and qemu-storage-daemon
# (qemu-system-common: virtual machines' images), and for its tests mkntfs,
# dosfstools, mtools, fdisk, e2fsprogs and qemu-img (qemu-utils) (FAT,
# partitioned and virtual machines' images), hivexsh and hivexregedit, chntpw's account
# tools and the archivers its archive tests make their archives with; for the
# release files and their tests the Debian package tools, lintian and man.
# Quick when everything is there already. With package names as arguments,
# installs only those (scripts/package.sh).
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev python3 locales
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 wine64
          libcli11-dev nlohmann-json3-dev nettle-dev ntfs-3g util-linux
          pkg-config libhivex-dev libhivex-bin libwin-hivex-perl chntpw
          libarchive-dev libblkid-dev dosfstools mtools fdisk e2fsprogs qemu-utils qemu-system-common zip unzip libarchive-tools xorriso gcab p7zip-full
          tar gzip dpkg-dev lintian man-db groff-base)
[ $# -eq 0 ] || packages=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# Locales that the Wine tests run under: Wine takes its code pages from the
# Unix locale and mangles non-ASCII file names when that locale is missing.
# ru_RU.UTF-8 gives the Cyrillic console code page 866.
ensure_locales() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
        echo "setup: generating locale ru_RU.UTF-8"
        $sudo localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
    fi
}

if [ ${#missing[@]} -eq 0 ]; then
    [ $# -gt 0 ] || ensure_locales
    exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
[ $# -gt 0 ] || ensure_locales
