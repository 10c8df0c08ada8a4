#!/usr/bin/env bash
# Configures, builds and tests every configuration from one command:
#   dev   native tests
#   asan  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan  the concurrency-labelled tests under ThreadSanitizer
#   mingw the 32-bit Windows DLL and its tests, run under Wine
#   package  install, the Debian package and the Windows zip, each built against and run
#         (scripts/check-packages.sh; reuses the mingw build tree, builds two targets of release)
#   fuzz  the libFuzzer targets (clang): their corpus replayed, then each target fuzzed for
#         ZB_FUZZ_SECONDS (60) from its corpus; any finding fails the stage
# Every stage runs even when an earlier one fails; the script ends with a summary per stage
# and the test runners' own summary lines, and exits non-zero if anything failed.
# Usage: scripts/test-all.sh [stage...]   (default: all six; ZB_JOBS sets the build jobs, 2)
set -uo pipefail

cd "$(dirname "$0")/.."
readonly ROOT=$PWD
readonly JOBS=${ZB_JOBS:-2}
readonly LOG_DIR=$ROOT/build/logs
readonly FUZZ_SECONDS=${ZB_FUZZ_SECONDS:-60}
readonly FUZZ_TARGETS=(block_decoder_fuzz block_batch_fuzz decoder_module_fuzz protocol_fuzz protocol_search_fuzz
  receiver_fuzz)
mkdir -p "$LOG_DIR"

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(dev asan tsan mingw package fuzz)
fi
for name in "${stages[@]}"; do
  case $name in
    dev | asan | tsan | mingw | package | fuzz) ;;
    *) echo "unknown stage '$name' (dev, asan, tsan, mingw, package, fuzz)" >&2; exit 2 ;;
  esac
done

declare -A stage_result stage_seconds stage_failed_step
test_prefix=()  # command words put before ctest for the current stage

# GCC 12's ThreadSanitizer fails to map its shadow memory when the kernel randomises
# mmap addresses with more bits than it expects. Find a way for TSan programs to start:
# as they are, with address randomisation off for the run, or with fewer random bits.
prepare_tsan() {
  local probe_dir probe
  probe_dir=$(mktemp -d)
  probe=$probe_dir/tsan-probe
  printf '#include <thread>\nint v; int main() { std::thread t([] { v = 1; }); t.join(); return v - 1; }\n' \
    >"$probe_dir/probe.cpp"
  if ! g++ -fsanitize=thread -pthread "$probe_dir/probe.cpp" -o "$probe"; then
    echo "tsan: cannot build the probe program" >&2
    rm -rf "$probe_dir"
    return 1
  fi
  local ok=1
  if "$probe" >/dev/null 2>&1; then
    echo "tsan: runs as it is"
  elif setarch "$(uname -m)" -R "$probe" >/dev/null 2>&1; then
    echo "tsan: runs with address randomisation off (setarch -R)"
    test_prefix=(setarch "$(uname -m)" -R)
  elif [ -w /proc/sys/vm/mmap_rnd_bits ] && echo 28 >/proc/sys/vm/mmap_rnd_bits && "$probe" >/dev/null 2>&1; then
    echo "tsan: runs after lowering vm.mmap_rnd_bits to 28"
  else
    echo "tsan: ThreadSanitizer programs cannot start on this machine" >&2
    ok=0
  fi
  rm -rf "$probe_dir"
  [ $ok -eq 1 ]
}

# Wine runs in a throwaway prefix, created before the first stage that needs it and removed,
# with its server stopped, when the script ends.
wine_base=""
prepare_wine() {
  if [ -z "$wine_base" ]; then
    wine_base=$(mktemp -d "${TMPDIR:-/tmp}/zb-wine.XXXXXX")
    export WINEPREFIX=$wine_base/prefix
    trap 'WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null; rm -rf "$wine_base"' EXIT
  fi
  echo "wine: prefix $WINEPREFIX"
  "$ROOT/scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1
}

# Fuzzes every target for FUZZ_SECONDS from its saved corpus, which it leaves as it is: new
# inputs go to a scratch folder, findings to build/logs/fuzz-<target>-*. Prints the
# executions of each target; fails if any target reports a finding.
run_fuzzers() {
  local log=$1 target scratch runs rc status=0
  for target in "${FUZZ_TARGETS[@]}"; do
    scratch=$(mktemp -d)
    echo "+ $target for $FUZZ_SECONDS s" | tee -a "$log"
    (cd "$scratch" && "$ROOT/build/fuzz/tests/fuzz/$target" -max_total_time="$FUZZ_SECONDS" \
      -print_final_stats=1 -artifact_prefix="$LOG_DIR/fuzz-$target-" \
      "$scratch" "$ROOT/tests/fuzz/corpus/$target") >"$scratch/output" 2>&1
    rc=$?
    cat "$scratch/output" >>"$log"
    if [ $rc -ne 0 ]; then
      tail -n 40 "$scratch/output"
      status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/output")
    echo "fuzz $target: ${runs:-no} executions in $FUZZ_SECONDS s, $([ $rc -eq 0 ] && echo 'no finding' || echo "FINDING (exit $rc)")" |
      tee -a "$log"
    rm -rf "$scratch"
  done
  return $status
}

# Runs one step of a stage, its output shown and kept in the stage's log.
step() {
  local log=$1
  shift
  echo "+ $*" | tee -a "$log"
  "$@" 2>&1 | tee -a "$log"
  return "${PIPESTATUS[0]}"
}

run_stage() {
  local name=$1 log=$LOG_DIR/$1.log start status=0
  : >"$log"
  echo
  echo "==================== $name ===================="
  start=$SECONDS
  test_prefix=()
  # Preparations run in this shell (their settings last for the stage), logged as they go.
  case $name in
    tsan) prepare_tsan > >(tee -a "$log") 2>&1 || status=1 ;;
    mingw | package) prepare_wine > >(tee -a "$log") 2>&1 || status=1 ;;
  esac
  if [ $status -ne 0 ]; then
    stage_failed_step[$name]=prepare
  elif [ "$name" = package ]; then
    step "$log" "$ROOT/scripts/check-packages.sh" || stage_failed_step[$name]=packages
  elif ! step "$log" cmake --preset "$name"; then
    stage_failed_step[$name]=configure
  elif ! step "$log" cmake --build --preset "$name" -j "$JOBS"; then
    stage_failed_step[$name]=build
  elif ! step "$log" "${test_prefix[@]}" ctest --preset "$name"; then
    stage_failed_step[$name]=tests
  elif [ "$name" = fuzz ] && ! run_fuzzers "$log"; then
    stage_failed_step[$name]=fuzzing
  fi
  [ -z "${stage_failed_step[$name]:-}" ] || status=1
  stage_seconds[$name]=$((SECONDS - start))
  if [ $status -eq 0 ]; then stage_result[$name]=PASS; else stage_result[$name]=FAIL; fi
  echo "---- $name: ${stage_result[$name]} in ${stage_seconds[$name]} s"
}

for name in "${stages[@]}"; do
  run_stage "$name"
done

failed=0
total=0
echo
echo "==================== summary ===================="
for name in "${stages[@]}"; do
  printf '%-8s %s  %4d s  %s\n' "$name" "${stage_result[$name]}" "${stage_seconds[$name]}" \
    "${stage_failed_step[$name]:+(${stage_failed_step[$name]} failed)}"
  total=$((total + stage_seconds[$name]))
  [ "${stage_result[$name]}" = PASS ] || failed=1
done
printf 'total           %4d s\n' "$total"
for name in "${stages[@]}"; do
  echo "[$name]"
  grep -E 'tests passed|tests failed|Total Test time|No tests were found|Errors while running CTest|packages checked|^fuzz .* executions' \
    "$LOG_DIR/$name.log" | sed 's/^/  /'
done
if [ $failed -ne 0 ]; then
  echo "FAILED: see build/logs/<stage>.log"
  exit 1
fi
echo "all stages passed"
