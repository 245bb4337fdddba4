#!/usr/bin/env bash
# Replays the planted faults of tools/mutants.txt, one at a time, to show
# what the tests catch:
#   tools/mutants.sh [BUILD_DIR] [NUMBER...]     (default: build, every mutant)
# For each: applies the one-line change, rebuilds incrementally, runs the unit
# tests and then the end-to-end tests (two shards at once), each stopping at
# its first failure, reverts the file with git and prints "caught by TEST" or
# "MISSED". Ends with the count. Not part of the test command: it takes long.
# The tests run once without any fault first (MUTANTS_SKIP_BASELINE=1 skips
# that). A time-out test may fail on a starved machine: a mutant "caught" by
# one is worth a second look.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
build="${1:-build}"
[ $# -gt 0 ] && shift
case "$build" in /*) ;; *) build="$top/$build" ;; esac
list="$top/tools/mutants.txt"
[ -d "$build" ] || cmake --preset default >/dev/null
if ! git diff --quiet -- src sim; then
  echo "src/ or sim/ has uncommitted changes: commit or stash them first"
  exit 2
fi

applied=""
revert() { [ -n "$applied" ] && git checkout -q -- "$applied"; applied=""; }
trap 'revert; exit 130' INT TERM
trap revert EXIT

build_all() {
  cmake --build "$build" -j2 --target velmora velmora-sim velmora_unit_tests velmora_e2e_tests >"$build/mutant-build.log" 2>&1
}

# Prints the first failing test of a gtest run, or nothing when all pass.
first_failure() {
  sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' "$@" | head -n 1
}

run_tests() {
  local out="$build/mutant-tests"
  (cd "$build" && timeout 600 tests/velmora_unit_tests --gtest_fail_fast --gtest_brief=1 >"$out.unit" 2>&1)
  local status=$?
  local failed
  failed="$(first_failure "$out.unit")"
  if [ $status -ne 0 ]; then
    echo "${failed:-velmora_unit_tests (status $status)}"
    return
  fi
  # Two shards at once; the first shard to fail stops the other.
  local -A shard_of=()
  for shard in 0 1; do
    (cd "$build" && GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard exec timeout 900 tests/velmora_e2e_tests \
      --gtest_fail_fast --gtest_brief=1 >"$out.e2e$shard" 2>&1) &
    shard_of[$!]=$shard
  done
  local done_pid status_of failing=""
  for _ in 0 1; do
    wait -n -p done_pid "${!shard_of[@]}"
    status_of=$?
    if [ $status_of -ne 0 ] && [ -z "$failing" ]; then
      failing="${shard_of[$done_pid]}"
      failed="$(first_failure "$out.e2e$failing")"
      echo "${failed:-velmora_e2e_tests (status $status_of)}"
      for pid in "${!shard_of[@]}"; do [ "$pid" != "$done_pid" ] && kill "$pid" 2>/dev/null; done
    fi
    unset "shard_of[$done_pid]"
  done
}

echo "Building $build without faults"
build_all || { echo "the unchanged tree does not build"; exit 2; }
# A test that fails without a fault would count every fault as caught.
if [ "${MUTANTS_SKIP_BASELINE:-0}" != 1 ]; then
  failing="$(run_tests)"
  [ -z "$failing" ] || { echo "the unchanged tree fails $failing: fix that first"; exit 2; }
  echo "Every test passes without faults"
fi
caught=0 missed=0 broken=0 number=0
while IFS=$'\t' read -r file original replacement what; do
  case "$file" in '' | '#'*) continue ;; esac
  number=$((number + 1))
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$number"; then continue; fi
  count="$(ORIGINAL="$original" perl -0ne 'print scalar(() = /\Q$ENV{ORIGINAL}\E/g)' "$file")"
  if [ "$count" != 1 ]; then
    echo "$number $file: the original text occurs $count times: fix the list ($what)"
    broken=$((broken + 1))
    continue
  fi
  applied="$file"
  ORIGINAL="$original" REPLACEMENT="$replacement" perl -0pi -e 's/\Q$ENV{ORIGINAL}\E/$ENV{REPLACEMENT}/' "$file"
  start=$SECONDS
  if ! build_all; then
    echo "$number $file: does not build ($what)"
    broken=$((broken + 1))
  else
    by="$(run_tests)"
    if [ -n "$by" ]; then
      echo "$number caught by $by [$((SECONDS - start)) s] $file: $what"
      caught=$((caught + 1))
    else
      echo "$number MISSED [$((SECONDS - start)) s] $file: $what"
      missed=$((missed + 1))
    fi
  fi
  revert
done <"$list"
build_all >/dev/null 2>&1
echo "Mutants: $caught caught, $missed missed, $broken not run"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
