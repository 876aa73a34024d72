#!/usr/bin/env bash
# Runs the test suite (what `make test` runs) N times in a row and prints each run's
# duration, the load average around it and its failures, to find tests that fail
# now and then. With --load every core is kept busy by a CPU hog (one busy loop a
# core) for the whole time, as on a machine loaded by other work.
#   scripts/repeat-tests.sh N [--load] [--preset NAME]
# Builds first (as `make test` does); each run's full output is kept in a log folder.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 N [--load] [--preset NAME]" >&2; exit 2; }
[[ $# -ge 1 && "$1" =~ ^[0-9]+$ && "$1" -gt 0 ]] || usage
runs=$1
shift
load=no
preset=default
while [[ $# -gt 0 ]]; do
  case "$1" in
    --load) load=yes ;;
    --preset) [[ $# -ge 2 ]] || usage; preset=$2; shift ;;
    *) usage ;;
  esac
  shift
done

if [[ "$preset" == default ]]; then
  make --no-print-directory build
else
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/repeat-tests-XXXXXX")
hogs=()
stop_hogs() {
  local pid
  for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${hogs[@]}"; do wait "$pid" 2>/dev/null || true; done
  hogs=()
}
trap stop_hogs EXIT
if [[ "$load" == yes ]]; then
  for _ in $(seq "$(nproc)"); do
    ( while :; do :; done ) &
    hogs+=($!)
  done
  echo "CPU hogs: ${#hogs[@]} busy loops"
fi

load_average() { cut -d' ' -f1 /proc/loadavg; }

failed_runs=0
for run in $(seq "$runs"); do
  log="$logs/run-$run.log"
  load_before=$(load_average)
  started=$(date +%s)
  status=0
  scripts/run-tests.sh "$preset" >"$log" 2>&1 || status=$?
  seconds=$(( $(date +%s) - started ))
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1 || true)
  printf 'run %d/%d: %dm%02ds, load average %s at the start and %s at the end: %s\n' \
    "$run" "$runs" $((seconds / 60)) $((seconds % 60)) "$load_before" "$(load_average)" \
    "${summary:-no summary (exit status $status)}"
  if [[ $status -ne 0 ]]; then
    failed_runs=$((failed_runs + 1))
    # ctest lists the failed tests after this line, one a line.
    sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true
  fi
done
echo "$((runs - failed_runs)) of $runs runs passed; logs in $logs"
[[ $failed_runs -eq 0 ]]
