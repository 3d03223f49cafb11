#!/usr/bin/env bash
# Sets up, builds everything and runs every test through CTest: unit tests
# under sanitizers, bounded fuzz runs, the import check and the Wine system tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
# Wine runs veskacure.exe only where the kernel runs 32-bit programs; on a
# machine where it does not, the Wine tests end as skipped: say so up front.
python3 -c 'import sys; sys.path.insert(0, "tests/wine"); import winebed
if not winebed.can_run_32bit_programs():
    print("test: this kernel cannot run 32-bit programs: the Wine tests will be reported as skipped")'
cd build/native
ctest -j2 --output-on-failure --timeout 1200
