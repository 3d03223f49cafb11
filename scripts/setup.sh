#!/usr/bin/env bash
# Installs what building and testing need on Debian 12: the mingw-w64 cross
# compiler, Wine (32-bit), GoogleTest, clang with its sanitizer and fuzzer
# runtimes, CMake. Quick when everything is there already.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev python3
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
