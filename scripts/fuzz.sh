#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (the "fuzz" preset) and runs each
# for a set time, default 60 seconds: first over the inputs kept in
# fuzz/regressions/<target>/ (crashes found earlier), then fuzzing from the seeds in
# fuzz/corpus/<target>/. New inputs go to build/fuzz/corpus/, a crashing input to
# build/fuzz/artifacts/<target>/; a crash fails the run. Prints each target's runs
# per second and coverage. FUZZ_SEED fixes libFuzzer's random seed (the brief run of
# the test suite sets it, so that it tries the same inputs on every machine: finding
# new faults is the job of the longer runs without one).
set -euo pipefail
seconds=${1:-60}
seed=(${FUZZ_SEED:+-seed=$FUZZ_SEED})
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is not installed (scripts/install-deps.sh installs it); the fuzz targets are skipped"
  exit 0
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=(command_line_fuzzer requests_fuzzer event_json_fuzzer prober_fuzzer)
declare -A options=(
  # Nesting beyond what the parsers' stacks hold is skipped by the target; long inputs add nothing.
  [event_json_fuzzer]="-max_len=4096"
  # One load may take up to the prober's own 10 s deadline; beyond 30 s it hangs.
  [prober_fuzzer]="-timeout=30"
)
status=0
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/$target
  work=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  log=build/fuzz/$target.log
  mkdir -p "$work" "$artifacts"
  regressions=(fuzz/regressions/$target/*)
  if [[ -e ${regressions[0]} ]]; then
    if ! "$binary" "${regressions[@]}" >"$log" 2>&1; then
      echo "fuzz: $target fails on a kept regression input"; tail -40 "$log"; status=1; continue
    fi
  fi
  # shellcheck disable=SC2086
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" "${seed[@]}" \
      ${options[$target]:-} "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz: $target FAILED (input kept in $artifacts/; copy it to fuzz/regressions/$target/)"
    tail -60 "$log"
    status=1
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  echo "fuzz: $target: $runs runs in ${seconds} s, $rate runs/s, $coverage (edges, features)"
done
exit $status
