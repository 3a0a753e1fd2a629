#!/bin/sh
# Checks that a built usbmodem.sys is still a loadable XP kernel driver.
# Usage: check_sys.sh PATH_TO_SYS [PAGEABLE_LIST]
# PAGEABLE_LIST defaults to target/pageable.txt; OBJDUMP overrides the tool.
# Prints one PASS/FAIL line per property; exits 1 if any failed.

sys=$1
here=$(cd "$(dirname "$0")" && pwd)
pageable=${2:-$here/../../target/pageable.txt}
xp_exports=${XP_EXPORTS:-$here/../../target/xp_exports.txt}
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}

if [ -z "$sys" ] || [ ! -f "$sys" ]; then
  echo "FAIL: image not found: ${sys:-<none given>}"
  exit 1
fi
if ! command -v "$OBJDUMP" >/dev/null 2>&1; then
  echo "FAIL: $OBJDUMP not found"
  exit 1
fi

failures=0
check() { # check NAME STATUS [DETAIL]
  if [ "$2" -eq 0 ]; then
    echo "PASS: $1"
  else
    echo "FAIL: $1${3:+ ($3)}"
    failures=$((failures + 1))
  fi
}

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
"$OBJDUMP" -p "$sys" >"$tmp/p" 2>&1
"$OBJDUMP" -h "$sys" >"$tmp/h" 2>&1
"$OBJDUMP" -f "$sys" >"$tmp/f" 2>&1
"$OBJDUMP" -t "$sys" >"$tmp/t" 2>&1

hex() { printf '%d' "0x$1"; }
u32() { od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' \n'; }
u16() { od -An -tu2 -j "$2" -N 2 "$1" | tr -d ' \n'; }

# Section rows of -h: "idx NAME SIZE VMA LMA OFF ALIGN" then a flags line.
awk '/^ *[0-9]+ / && NF == 7 { idx = $1; name = $2; size = $3; vma = $4; getline; print name, size, vma, idx, $0 }' "$tmp/h" >"$tmp/secs"
# Symbol table rows: "[ n](sec s)(fl ..)(ty t)(scl c) (nx x) 0xVALUE NAME",
# VALUE relative to section s (1-based). Listed as: section name, absolute
# address in hex, symbol, F for a function.
awk 'function hex(h,   i, n) { n = 0; h = tolower(h); for (i = 1; i <= length(h); i++) n = n * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1; return n }
     NR == FNR { name[$4 + 1] = $1; vma[$4 + 1] = $3; next }
     /^\[ *[0-9]+\]\(sec/ {
       s = $0; sub(/^[^(]*\(sec +/, "", s); s = s + 0
       if (!(s in name)) next
       v = $(NF-1); sub(/^0x/, "", v)
       printf "%s %x %s %s\n", name[s], hex(vma[s]) + hex(v), $NF, ($0 ~ /\(ty +20\)/) ? "F" : "-"
     }' "$tmp/secs" "$tmp/t" >"$tmp/syms"

section_field() { awk -v n="$1" -v f="$2" '$1 == n { print $f; exit }' "$tmp/secs"; }
# Raw PE section characteristics, which objdump does not print in full.
pe=$(u32 "$sys" 60)
nsec=$(u16 "$sys" $((pe + 6)))
opt=$(u16 "$sys" $((pe + 20)))
characteristics() {
  i=0
  while [ "$i" -lt "$nsec" ]; do
    o=$((pe + 24 + opt + 40 * i))
    name=$(dd if="$sys" bs=1 skip="$o" count=8 2>/dev/null | tr -d '\000')
    if [ "$name" = "$1" ]; then u32 "$sys" $((o + 36)); return 0; fi
    i=$((i + 1))
  done
  return 1
}
IMAGE_SCN_CNT_CODE=32
IMAGE_SCN_MEM_DISCARDABLE=33554432
IMAGE_SCN_MEM_EXECUTE=536870912

# Format and machine.
grep -q 'file format pei-i386' "$tmp/p" && grep -q 'Magic[[:space:]]*010b' "$tmp/p"
check "PE32 image for i386 (pei-i386)" $? "$(grep -m1 'file format' "$tmp/p")"
grep -q '^architecture: i386' "$tmp/f"
check "machine is i386" $?

# Subsystem.
grep -Eq '^Subsystem[[:space:]]+00000001' "$tmp/p"
check "subsystem 1 (native)" $? "$(grep -m1 '^Subsystem' "$tmp/p")"

# Entry point.
start=$(awk '/^start address/ { sub(/^0x/, "", $3); print $3 }' "$tmp/f")
entry=$(awk '$3 == "_DriverEntry@8" { print $2; exit }' "$tmp/syms")
entry_section=$(awk '$3 == "_DriverEntry@8" { print $1; exit }' "$tmp/syms")
[ -n "$entry" ] && [ -n "$start" ] && [ "$(hex "$entry")" -eq "$(hex "$start")" ]
check "entry point is DriverEntry (_DriverEntry@8)" $? "start ${start:-?}, _DriverEntry@8 at ${entry:-missing}"

# Base relocations: the loader relocates drivers.
grep -Eq '^Entry 5 [0-9a-f]{8} 0*[1-9a-f][0-9a-f]* Base Relocation' "$tmp/p"
check "base relocations present" $?

# Checksum: recomputed over the file with the checksum field taken as zero.
stored=$(u32 "$sys" $((pe + 88)))
size=$(wc -c <"$sys" | tr -d ' ')
computed=$(od -An -v -tu2 "$sys" | awk -v skip=$(( (pe + 88) / 2 )) -v size="$size" '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = (s % 65536) + int(s / 65536) } n++ } }
  END { s = (s % 65536) + int(s / 65536); print s + size }')
[ "$stored" -ne 0 ] && [ "$stored" -eq "$computed" ]
check "image checksum valid" $? "stored $stored, computed $computed"

# Imports.
awk '/DLL Name:/ { print $3 }' "$tmp/p" >"$tmp/dlls"
bad=$(grep -viE '^(ntoskrnl\.exe|hal\.dll|usbd\.sys|wmilib\.sys)$' "$tmp/dlls" | tr '\n' ' ')
[ -z "$bad" ]
check "imports only from ntoskrnl.exe, HAL.dll, USBD.SYS, WMILIB.SYS" $? "also: $bad"
grep -qix 'ntoskrnl\.exe' "$tmp/dlls"
check "imports from ntoskrnl.exe" $?

# Every imported routine is one Windows XP (no service pack) exports. USBD's
# stdcall names are listed undecorated.
awk '/DLL Name:/ { dll = $3; next }
     dll != "" && NF == 0 { dll = ""; next }
     dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { name = $3; sub(/^_/, "", name); sub(/@[0-9]+$/, "", name)
       if ($3 ~ /^_all|^_aull/) name = $3
       print dll ":" name }' "$tmp/p" | sort -u >"$tmp/imports"
grep -v '^#' "$xp_exports" | grep . | sort -u >"$tmp/allowed"
unlisted=$(comm -23 "$tmp/imports" "$tmp/allowed" | tr '\n' ' ')
[ -s "$tmp/imports" ] && [ -z "$unlisted" ]
check "imports only routines Windows XP exports (target/xp_exports.txt)" $? "not listed: $unlisted"

# No C or C++ runtime, by import, section or symbol.
! grep -Eiq 'msvcr|msvcp|ucrt|api-ms-|libgcc|libstdc|kernel32' "$tmp/dlls"
check "no runtime DLL imported" $?
runtime_sections=$(awk '$1 ~ /^\.(eh_fram|gcc_exc|tls|CRT|ctors|dtors|init_ar|fini_ar)/ { printf "%s ", $1 }' "$tmp/secs")
[ -z "$runtime_sections" ]
check "no runtime sections" $? "$runtime_sections"
runtime_symbols=$(awk '$3 ~ /_Unwind_|__cxa_|__gxx_personality|chkstk|^___main$|pei386_runtime_relocator|__mingw|_CRT_INIT|__dyn_tls/ { printf "%s ", $3 }' "$tmp/syms")
[ -z "$runtime_symbols" ]
check "no runtime routines linked" $? "$runtime_symbols"
ctors=$(awk '$3 ~ /GLOBAL__sub_[ID]_/ { printf "%s ", $3 }' "$tmp/syms")
[ -z "$ctors" ]
check "no static constructors or destructors" $? "$ctors"

# INIT: discardable code holding DriverEntry alone.
init=$(characteristics INIT)
[ -n "$init" ]
check "INIT section exists" $?
if [ -n "$init" ]; then
  [ $((init & IMAGE_SCN_MEM_DISCARDABLE)) -ne 0 ] && [ $((init & IMAGE_SCN_CNT_CODE)) -ne 0 ]
  check "INIT is discardable code" $? "characteristics $(printf '%08x' "$init")"
  [ "$entry_section" = INIT ]
  check "DriverEntry lies in INIT" $? "in ${entry_section:-no section}"
  others=$(awk '$1 == "INIT" && $4 == "F" && index($3, "_DriverEntry@8") != 1 { printf "%s ", $3 }' "$tmp/syms")
  [ -z "$others" ]
  check "INIT holds DriverEntry alone" $? "also: $others"
fi

# PAGE: resident-by-default code that may be paged out, never discarded.
page=$(characteristics PAGE)
[ -n "$page" ]
check "PAGE section exists" $?
if [ -n "$page" ]; then
  [ $((page & IMAGE_SCN_CNT_CODE)) -ne 0 ] && [ $((page & IMAGE_SCN_MEM_EXECUTE)) -ne 0 ] &&
    [ $((page & IMAGE_SCN_MEM_DISCARDABLE)) -eq 0 ]
  check "PAGE is code and not discardable" $? "characteristics $(printf '%08x' "$page")"
fi
if [ -f "$pageable" ]; then
  for routine in $(sed -e 's/#.*//' "$pageable"); do
    # C names are _Name or _Name@N; C++ names are mangled __Z[L]<length><Name>...
    found=$(awk -v r="$routine" -v z="__Z${#routine}${routine}" -v zl="__ZL${#routine}${routine}" '
      $4 == "F" && ($3 == "_" r || index($3, "_" r "@") == 1 || index($3, z) == 1 || index($3, zl) == 1) { print $1 }' "$tmp/syms")
    if [ -z "$found" ]; then
      check "$routine lies in PAGE" 1 "no such routine in the image"
      continue
    fi
    elsewhere=$(echo "$found" | grep -vx PAGE | tr '\n' ' ')
    [ -z "$elsewhere" ]
    check "$routine lies in PAGE" $? "found in $elsewhere"
  done
else
  check "pageable routine list readable" 1 "$pageable"
fi

# Pageable and discardable code never runs at DISPATCH_LEVEL, so it never
# calls what raises there (an inlined helper can bring such a call in).
raised=$(sh "$here/check_page_irql.sh" "$sys" 2>&1)
check "PAGE and INIT code calls nothing that raises IRQL to DISPATCH_LEVEL" $? "$(echo "$raised" | tr '\n' ';' | sed 's/;$//; s/;/; /g')"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $sys"
  exit 1
fi
echo "all checks passed for $sys"
