#!/usr/bin/env bash
# Builds veskacure.exe and the Windows-side test programs (build/win), and the
# native test programs (build/native).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$jobs"

if [ "${1:-}" != "--tool-only" ]; then
    CC=clang CXX=clang++ cmake -S . -B build/native -DVESKACURE_WIN_BUILD="$PWD/build/win" >/dev/null
    cmake --build build/native -j"$jobs"
fi
