#!/usr/bin/env bash
# The main job on a demo machine: builds veskacure.exe, makes a Wine machine
# that looks infected (inside ./demo, nothing outside it is touched), runs the
# tool on it and shows what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh --tool-only
CC=clang CXX=clang++ cmake -S . -B build/native -DVESKACURE_WIN_BUILD="$PWD/build/win" >/dev/null
cmake --build build/native --target mkimage >/dev/null
exec python3 scripts/demo.py "$@"
