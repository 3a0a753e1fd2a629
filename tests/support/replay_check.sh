#!/usr/bin/env bash
# Runs each test program twice with the same seed and trace file and fails
# unless the two traces are byte-identical: every run must be replayable.
set -u
# Programs of another architecture run under the build's emulator (qemu-i386).
read -r -a emulator <<<"${USBMODEM_EMULATOR:-}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
status=0
for program in "$@"; do
  name=$(basename "$program")
  for run in 1 2; do
    USBMODEM_SEED=11 USBMODEM_SEEDS=3 USBMODEM_TRACE="$dir/$name.$run" "${emulator[@]}" "$program" >"$dir/$name.$run.out" 2>&1 || {
      echo "FAIL: $name run $run failed"; tail -20 "$dir/$name.$run.out"; status=1; continue 2; }
  done
  if [ ! -s "$dir/$name.1" ]; then
    echo "FAIL: $name wrote no trace"; status=1
  elif cmp -s "$dir/$name.1" "$dir/$name.2"; then
    echo "PASS: $name: $(wc -l <"$dir/$name.1") trace lines, identical"
  else
    echo "FAIL: $name: traces differ"; diff "$dir/$name.1" "$dir/$name.2" | head -5; status=1
  fi
done
exit $status
