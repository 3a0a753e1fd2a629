#!/bin/sh
# check_page_irql.sh against small images made for it: pageable or
# discardable code that raises IRQL in each way the compiler can emit the
# call must be found, and code that only calls resident helpers must pass.
# Usage: check_page_irql_test.sh. CXX and OBJDUMP override the tools.
here=$(cd "$(dirname "$0")" && pwd)
CXX=${CXX:-i686-w64-mingw32-g++}
export OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}
for tool in "$CXX" "$OBJDUMP"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL: $tool not found"
    exit 1
  fi
done

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/common.h" <<'EOF'
typedef unsigned char KIRQL;
typedef unsigned long KSPIN_LOCK;
#define PAGED __attribute__((section("PAGE"), noinline))
#define INIT __attribute__((section("INIT"), noinline))
#ifdef ACQUIRE_BY_THUNK
// Declared without dllimport: the call goes to the import library's thunk.
extern "C" KIRQL __fastcall KfAcquireSpinLock(KSPIN_LOCK *lock) __asm__("@KfAcquireSpinLock@4");
#else
extern "C" __declspec(dllimport) KIRQL __fastcall KfAcquireSpinLock(KSPIN_LOCK *lock);
#endif
extern "C" __declspec(dllimport) void __fastcall KfReleaseSpinLock(KSPIN_LOCK *lock, KIRQL irql);
extern "C" __declspec(dllimport) KIRQL __fastcall KfRaiseIrql(KIRQL irql);
extern "C" __declspec(dllimport) void __fastcall KfLowerIrql(KIRQL irql);
extern "C" __declspec(dllimport) KIRQL __stdcall KeRaiseIrqlToDpcLevel(void);
KSPIN_LOCK lock;
void Work();
extern "C" long __stdcall Entry(void *, void *) { Work(); return 0; }
EOF

# name, expected checker output (empty: passes), source[, compiler flags].
make_case() {
  printf '#include "common.h"\n%s\n' "$3" >"$tmp/$1.cpp"
  echo "$2" >"$tmp/$1.expected"
  echo "${4:-}" >"$tmp/$1.flags"
}
make_case direct "PAGE: Work calls KfAcquireSpinLock" '
PAGED void Work() { KIRQL old = KfAcquireSpinLock(&lock); KfReleaseSpinLock(&lock, old); }'
make_case register "PAGE: Work calls KfRaiseIrql" '
PAGED void Work() {
  KIRQL (__fastcall *volatile raise)(KIRQL) = KfRaiseIrql;
  KfLowerIrql(raise(2));
}'
make_case thunk "PAGE: Work calls KfAcquireSpinLock" '
PAGED void Work() { KIRQL old = KfAcquireSpinLock(&lock); KfReleaseSpinLock(&lock, old); }' -DACQUIRE_BY_THUNK
make_case init "INIT: Work calls KeRaiseIrqlToDpcLevel" '
INIT void Work() { KfLowerIrql(KeRaiseIrqlToDpcLevel()); }'
make_case resident "" '
__attribute__((noinline)) void Locked() { KIRQL old = KfAcquireSpinLock(&lock); KfReleaseSpinLock(&lock, old); }
PAGED void Work() { Locked(); KfLowerIrql(0); }'

failures=0
for source in "$tmp"/*.cpp; do
  name=$(basename "$source" .cpp)
  image="$tmp/$name.sys"
  if ! "$CXX" $(cat "$tmp/$name.flags") -Wall -Werror -O2 -fno-exceptions -fno-asynchronous-unwind-tables -nostdlib -nostartfiles \
      -Wl,--subsystem,native -Wl,--entry,_Entry@8 -o "$image" "$source" -lhal -lntoskrnl 2>"$tmp/$name.log"; then
    echo "FAIL: $name: does not build"; cat "$tmp/$name.log"; failures=$((failures + 1)); continue
  fi
  found=$(sh "$here/check_page_irql.sh" "$image")
  status=$?
  expected=$(cat "$tmp/$name.expected")
  expected_status=0
  [ -n "$expected" ] && expected_status=1
  if [ "$found" = "$expected" ] && [ "$status" -eq "$expected_status" ]; then
    echo "PASS: $name${expected:+: $expected}"
  else
    echo "FAIL: $name: expected '${expected:-nothing}' (status $expected_status), got '$found' (status $status)"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
