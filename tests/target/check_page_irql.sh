#!/bin/sh
# Code in the PAGE and INIT sections must never raise IRQL to DISPATCH_LEVEL:
# once it has, the routine's own code goes on running at DISPATCH_LEVEL from
# a page the memory manager may have taken away (Driver Verifier bugchecks
# at once). Finds each reference from those sections to the import address
# table entry of a routine that returns raised: a call through the entry,
# its address loaded into a register first, or a call to an import thunk
# (a routine that is nothing but a jump through the entry).
# Usage: check_page_irql.sh IMAGE. OBJDUMP overrides the tool.
# Prints one line per offending routine and import; exits 1 if there is any.

sys=$1
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}
if [ -z "$sys" ] || [ ! -f "$sys" ]; then
  echo "image not found: ${sys:-<none given>}"
  exit 2
fi

# The routines that return to their caller at DISPATCH_LEVEL or above.
raising="KfAcquireSpinLock KeAcquireSpinLockRaiseToDpc KeAcquireSpinLockAtDpcLevel KefAcquireSpinLockAtDpcLevel
KeAcquireSpinLockForDpc KeAcquireInStackQueuedSpinLock KeAcquireInStackQueuedSpinLockAtDpcLevel
KeAcquireInStackQueuedSpinLockForDpc KeAcquireQueuedSpinLock KeAcquireQueuedSpinLockRaiseToSynch
KeAcquireInterruptSpinLock KfRaiseIrql KeRaiseIrqlToDpcLevel KeRaiseIrqlToSynchLevel IoAcquireCancelSpinLock"

tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

hexfn='function hex(h,   i, n) { n = 0; h = tolower(h); sub(/^0x/, "", h)
  for (i = 1; i <= length(h); i++) n = n * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1; return n }'

# Import address table entries of the raising routines: "ADDRESS NAME".
# Each import directory row gives its DLL's first thunk; the DLL's names
# follow in the order of its entries, four bytes apart.
"$OBJDUMP" -p "$sys" | awk -v raising="$raising" "$hexfn"'
  BEGIN { n = split(raising, r); for (i = 1; i <= n; i++) want[r[i]] = 1 }
  /^ImageBase/ { base = hex($2) }
  NF == 6 && $1 ~ /^[0-9a-f]+$/ && $6 ~ /^[0-9a-f]+$/ && length($1) == 8 { first = hex($6); slot = 0; names = 0; next }
  /Member-Name/ { names = 1; next }
  names && NF == 0 { names = 0; next }
  names && $1 ~ /^[0-9a-f]+$/ { if ($3 in want) printf "%x %s\n", base + first + 4 * slot, $3; slot++ }
' >"$tmp/iat"

# Every instruction of PAGE and INIT judged against those entries and the
# thunks through them, wherever the thunks lie.
"$OBJDUMP" -d -C "$sys" | awk "$hexfn"'
  function routine(s) { sub(/^[0-9a-f]+ </, "", s); sub(/>:$/, "", s); sub(/\(.*/, "", s); sub(/^_/, "", s); sub(/@[0-9]+$/, "", s); return s }
  NR == FNR { iat[$1] = $2; next }
  /^Disassembly of section / { section = $4; sub(/:$/, "", section); next }
  /^[0-9a-f]+ <.*>:$/ { name = routine($0); start = $1; first = 1; next }
  /^ *[0-9a-f]+:\t/ {
    split($0, f, "\t"); text = f[3]
    if (first && text ~ /^jmp +\*0x[0-9a-f]+ *$/) {
      target = text; sub(/^jmp +\*/, "", target); target = sprintf("%x", hex(target))
      if (target in iat) thunk[sprintf("%x", hex(start))] = iat[target]
    }
    first = 0
    if (section == "PAGE" || section == "INIT") { count++; where[count] = section ": " name; code[count] = text }
  }
  END {
    for (i = 1; i <= count; i++) {
      text = code[i]; hit = ""
      rest = text
      while (match(rest, /0x[0-9a-f]+/)) {
        a = sprintf("%x", hex(substr(rest, RSTART, RLENGTH)))
        if (a in iat) hit = iat[a]
        rest = substr(rest, RSTART + RLENGTH)
      }
      if (hit == "" && text ~ /^(call|jmp) +[0-9a-f]+ </) {
        split(text, w, " "); a = sprintf("%x", hex(w[2]))
        if (a in thunk) hit = thunk[a]
      }
      if (hit != "" && !((where[i], hit) in seen)) { seen[where[i], hit] = 1; print where[i] " calls " hit }
    }
  }
' "$tmp/iat" - >"$tmp/found"

if [ -s "$tmp/found" ]; then
  cat "$tmp/found"
  exit 1
fi
exit 0
