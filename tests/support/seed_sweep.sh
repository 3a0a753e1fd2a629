#!/usr/bin/env bash
# Runs each test program under scheduler seeds 1..USBMODEM_SWEEP (default 5)
# on machines of each processor count in USBMODEM_SWEEP_CPUS (default
# "1 2 4"), so that single-seed tests meet other interleavings too. A failure
# names the program, the seed and the count: replay it with
# USBMODEM_SEED=N USBMODEM_CPUS=C.
set -u
# Programs of another architecture run under the build's emulator (qemu-i386).
read -r -a emulator <<<"${USBMODEM_EMULATOR:-}"
count=${USBMODEM_SWEEP:-5}
cpus_list=${USBMODEM_SWEEP_CPUS:-1 2 4}
status=0
for program in "$@"; do
  name=$(basename "$program")
  failed=0
  for cpus in $cpus_list; do
    for seed in $(seq 1 "$count"); do
      if ! out=$(USBMODEM_SEED=$seed USBMODEM_CPUS=$cpus "${emulator[@]}" "$program" 2>&1); then
        echo "FAIL: $name with USBMODEM_SEED=$seed USBMODEM_CPUS=$cpus"
        echo "$out" | grep -E 'FAILED|Failure|ERROR|fault' | head -10
        status=1
        failed=1
      fi
    done
  done
  [ $failed -eq 0 ] && echo "PASS: $name under seeds 1..$count on $cpus_list processor(s)"
done
exit $status
