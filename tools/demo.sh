#!/usr/bin/env bash
# The main job: builds usbmodem.sys, shows that it is a driver a Windows XP
# machine can load, and runs a Win32 serial program against the simulated modem.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

cmake --preset target >/dev/null
cmake --build --preset target -j "$(nproc)"
echo
echo "== usbmodem.sys"
bash tests/target/check_sys.sh build/target/usbmodem.sys

if [ -x tools/run-win32 ] && [ -f tools/examples/loopback_echo.cpp ]; then
  echo
  echo "== a Win32 program on COM7 of the simulated machine"
  tools/run-win32 tools/examples/loopback_echo.cpp
  echo
  echo "== a dial-up session on the simulated Hayes modem (virtual time)"
  USBMODEM_DEVICE=hayes tools/run-win32 tools/examples/hayes_dial.cpp
fi
