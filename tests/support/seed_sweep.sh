#!/usr/bin/env bash
# Runs each test program under scheduler seeds 1..USBMODEM_SWEEP (default 5),
# so that single-seed tests meet other interleavings too. A failure names the
# program and the seed: replay it with USBMODEM_SEED=N.
set -u
count=${USBMODEM_SWEEP:-5}
status=0
for program in "$@"; do
  name=$(basename "$program")
  for seed in $(seq 1 "$count"); do
    if ! out=$(USBMODEM_SEED=$seed "$program" 2>&1); then
      echo "FAIL: $name with USBMODEM_SEED=$seed"
      echo "$out" | grep -E 'FAILED|Failure|ERROR|fault' | head -10
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "PASS: $name under seeds 1..$count"
done
exit $status
