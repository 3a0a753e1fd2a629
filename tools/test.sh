#!/usr/bin/env bash
# Builds both builds (usbmodem.sys and the host build with sanitizers) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

jobs=$(nproc)
cmake --preset target >/dev/null
cmake --build --preset target -j "$jobs"
cmake --preset host-debug >/dev/null
cmake --build --preset host-debug -j "$jobs"

# Concurrency tests loop over scheduler seeds; CI runs a bounded count.
export USBMODEM_SEEDS="${USBMODEM_SEEDS:-20}"
# ... and every single-seed test runs again under this many seeds.
export USBMODEM_SWEEP="${USBMODEM_SWEEP:-8}"
ctest --test-dir build/host-debug --output-on-failure -j "$jobs"
