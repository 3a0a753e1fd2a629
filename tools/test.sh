#!/usr/bin/env bash
# Builds usbmodem.sys and the host builds (with sanitizers, 32-bit with the
# image, race detector) and runs every test.
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

# The fuzz programs (clang, libFuzzer): each target over its checked-in
# corpus, then fuzzed for a bounded time; a crash or a verifier fault fails.
cmake --preset host-fuzz >/dev/null
cmake --build --preset host-fuzz -j "$jobs"
ctest --test-dir build/host-fuzz --output-on-failure -j "$jobs"
bash tools/fuzz --time "${USBMODEM_FUZZ_SECONDS:-15}"

# The bytes that ship: the 32-bit machine (x86 Windows' layouts and calling
# conventions) runs every Win32 test program, scenario and example once more
# against build/target/usbmodem.sys itself, mapped by its PE loader.
cmake --preset host-i386 >/dev/null
cmake --build --preset host-i386 -j "$jobs"
# (The seed sweep of the single-seed programs ran in the build above.)
ctest --test-dir build/host-i386 --output-on-failure -j "$jobs" -E '^seed_sweep$'

# The race detector: the driver's plain memory accesses between simulated
# processors, on two and four processors, a bounded count of seeds. (The
# bad-input table's outcomes do not depend on the interleaving; the builds
# above check it.)
cmake --preset host-race >/dev/null
cmake --build --preset host-race -j "$jobs"
for cpus in 2 4; do
  USBMODEM_CPUS=$cpus USBMODEM_SEEDS="${USBMODEM_RACE_SEEDS:-5}" \
    ctest --test-dir build/host-race --output-on-failure -j "$jobs" -E '^badinput$'
done
