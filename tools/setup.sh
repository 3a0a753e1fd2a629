#!/usr/bin/env bash
# Installs what the builds need on a Debian machine, when it is missing.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v i686-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-i686)
command -v i686-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-i686)
[ -f /usr/share/mingw-w64/include/ddk/ntddk.h ] || missing+=(mingw-w64-i686-dev)
[ -f /usr/src/googletest/googletest/src/gtest-all.cc ] || missing+=(googletest)
# The 32-bit host build and the layout check compile for i386 (gcc's
# multilib); qemu runs the 32-bit programs where the kernel cannot.
echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null -pthread 2>/dev/null || missing+=(g++-multilib)
command -v qemu-i386 >/dev/null || missing+=(qemu-user)
# The fuzz build: clang and its libFuzzer runtime.
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root, or install these packages first: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
