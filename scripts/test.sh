#!/usr/bin/env bash
# Sets up, builds everything and runs every test through CTest: unit tests
# under sanitizers, bounded fuzz runs, the import check and the Wine system tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd build/native
ctest -j2 --output-on-failure --timeout 1200
