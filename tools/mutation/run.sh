#!/usr/bin/env bash
# The strength of the tests, measured: applies each one-line driver bug of
# tools/mutation/mutants.txt in turn, rebuilds the driver-level test programs
# and runs them. A mutant is killed when a program fails (or runs past the
# wall-clock limit); one that every program passes has survived.
#
#   tools/mutation/run.sh [NAME...]      every mutant, or the ones named
#   tools/mutation/run.sh --check        only that each applies to the sources
#
# USBMODEM_SEEDS (default 5) and USBMODEM_CPUS (default 2) as in the tests;
# MUTATION_BUILD (default build/mutation) is a debug build with the
# sanitizers of its own; MUTATION_TIMEOUT (default 300) limits each program.
# The results go to $MUTATION_BUILD/results.txt, one line per mutant.
set -euo pipefail
cd "$(dirname "$0")/../.."
list=tools/mutation/mutants.txt
build=${MUTATION_BUILD:-build/mutation}
limit=${MUTATION_TIMEOUT:-300}
export USBMODEM_SEEDS=${USBMODEM_SEEDS:-5}
export USBMODEM_CPUS=${USBMODEM_CPUS:-2}
# The programs that link the driver, quickest to fail first.
programs=(test_stress test_serial test_driver test_datapath test_win32 test_usb test_scenario)
for extra in test_badinput; do
  [ -d "tests/${extra#test_}" ] && programs+=("$extra")
done

# ---- the list: "== NAME FILE[:LINE]", "- FIND", "+ REPLACEMENT", "= WHY IT IS EQUIVALENT"
names=() files=() lines=() finds=() replaces=() reasons=()
parse_list() {
  local line n=-1
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      '== '*)
        n=$((n + 1))
        read -r _ name where <<<"$line"
        names[n]=$name
        files[n]=${where%%:*}
        if [[ $where == *:* ]]; then lines[n]=${where##*:}; else lines[n]=0; fi
        finds[n]='' replaces[n]='' reasons[n]=''
        ;;
      '- '*) finds[n]=${line#- } ;;
      '+ '*) replaces[n]=${line#+ } ;;
      '+') replaces[n]='' ;;
      '= '*) reasons[n]=${line#= } ;;
    esac
  done <"$list"
}

# Prints the number of the one line of FILE that holds FIND (or checks the
# line given); fails when there is none or more than one.
locate() {
  local file=$1 find=$2 at=$3 hits
  if [ "$at" != 0 ]; then
    sed -n "${at}p" "$file" | grep -qF -- "$find" || return 1
    echo "$at"
    return 0
  fi
  hits=$(grep -nF -- "$find" "$file" | cut -d: -f1)
  [ -n "$hits" ] && [ "$(wc -l <<<"$hits")" -eq 1 ] || return 1
  echo "$hits"
}

# Replaces the first FIND on line AT of FILE, literally.
apply() {
  local file=$1 at=$2 find=$3 replace=$4 i=0 text
  local tmp
  tmp=$(mktemp)
  while IFS= read -r text || [ -n "$text" ]; do
    i=$((i + 1))
    if [ "$i" -eq "$at" ]; then
      text=${text/"$find"/"$replace"}
    fi
    printf '%s\n' "$text"
  done <"$file" >"$tmp"
  cat "$tmp" >"$file"
  rm -f "$tmp"
}

# Builds and runs one program after another, so that a mutant the first
# program kills costs one link; prints the program that failed.
build_program() { cmake --build "$build" -j "$(nproc)" --target "$1" >"$build/build.log" 2>&1; }
run_programs() {
  local p
  for p in "${programs[@]}"; do
    build_program "$p" || { echo "DOES-NOT-BUILD"; return 0; }
    if ! timeout "$limit" "$build/$p" --gtest_fail_fast --gtest_brief=1 >"$build/last.log" 2>&1; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

parse_list
check_only=0
if [ "${1:-}" = --check ]; then check_only=1; shift; fi
selected=("$@")
wanted() {
  [ ${#selected[@]} -eq 0 ] && return 0
  local s
  for s in "${selected[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}

# Every mutant must apply to today's sources before any is run.
bad=0
for i in "${!names[@]}"; do
  wanted "${names[i]}" || continue
  if ! locate "${files[i]}" "${finds[i]}" "${lines[i]}" >/dev/null; then
    echo "mutant ${names[i]}: '${finds[i]}' is not on exactly one line of ${files[i]}${lines[i]:+ (line ${lines[i]})}" >&2
    bad=1
  fi
done
[ $bad -eq 0 ] || exit 2
if [ $check_only -eq 1 ]; then
  echo "${#names[@]} mutants, each on exactly one line"
  exit 0
fi

# lld links the sanitized programs several times faster than ld.bfd.
linker=()
command -v ld.lld >/dev/null && linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "${linker[@]}" >/dev/null
if killer=$(run_programs); then
  echo "the unmutated tree fails $killer; see $build/last.log" >&2
  exit 2
fi

# The file as it was, put back after each mutant (and on any exit).
current=''
saved=$build/original
restore() { [ -n "$current" ] && cat "$saved" >"$current"; current=''; }
trap restore EXIT INT TERM

results=$build/results.txt
: >"$results"
total=0 killed=0 survived=0 equivalent=0
start=$(date +%s)
for i in "${!names[@]}"; do
  wanted "${names[i]}" || continue
  file=${files[i]}
  at=$(locate "$file" "${finds[i]}" "${lines[i]}")
  cp "$file" "$saved"
  current=$file
  apply "$file" "$at" "${finds[i]}" "${replaces[i]}"
  total=$((total + 1))
  if killer=$(run_programs) && [ "$killer" = DOES-NOT-BUILD ]; then
    outcome="DOES-NOT-BUILD"
  elif [ -n "$killer" ]; then
    outcome="killed by $killer"
    killed=$((killed + 1))
  elif [ -n "${reasons[i]}" ]; then
    outcome="survived, equivalent: ${reasons[i]}"
    equivalent=$((equivalent + 1))
  else
    outcome="SURVIVED"
    survived=$((survived + 1))
  fi
  restore
  printf '%-34s %-34s %s\n' "${names[i]}" "$file:$at" "$outcome" | tee -a "$results"
done

counted=$((killed + survived))
score=0
[ $total -gt 0 ] && score=$((killed * 1000 / total))
echo
echo "mutants: $total  killed: $killed  survived: $survived  equivalent: $equivalent"
echo "killed: $((score / 10)).$((score % 10)) % of all; $killed of the $counted not equivalent"
echo "time: $(( $(date +%s) - start )) s with USBMODEM_SEEDS=$USBMODEM_SEEDS USBMODEM_CPUS=$USBMODEM_CPUS"
grep -q DOES-NOT-BUILD "$results" && { echo "a mutant does not build: mend the list" >&2; exit 2; }
[ $survived -eq 0 ]
