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

# The race detector: the driver's plain memory accesses between simulated
# processors, on two and four processors, a bounded count of seeds.
cmake --preset host-race >/dev/null
cmake --build --preset host-race -j "$jobs"
for cpus in 2 4; do
  USBMODEM_CPUS=$cpus USBMODEM_SEEDS="${USBMODEM_RACE_SEEDS:-5}" \
    ctest --test-dir build/host-race --output-on-failure -j "$jobs"
done
