#!/usr/bin/env bash
# The main job: builds usbmodem.sys and checks that it is a driver a Windows XP
# machine can load, then tells the driver's life on the simulated machine:
# load, plug, the port's names, applications listing and dialling, WMI, removal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh >/dev/null

cmake --preset target >/dev/null
cmake --build --preset target -j "$(nproc)" >/dev/null
echo "== usbmodem.sys"
bash tests/target/check_sys.sh build/target/usbmodem.sys | tail -n 1

cmake --preset host-release >/dev/null
cmake --build --preset host-release --target demo -j "$(nproc)" >/dev/null
build/host-release/tools/demo
