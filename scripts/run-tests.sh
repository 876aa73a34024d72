#!/usr/bin/env bash
# Runs the tests of one build preset: every test but the long soak tests, or with
# --soak only those. Starts the services the tests need (a private X server and
# PulseAudio daemon) and stops them afterwards. Further arguments go to ctest.
#   scripts/run-tests.sh [preset] [--soak] [ctest arguments...]
set -euo pipefail
preset=${1:-default}
shift || true
selection=(-LE soak)
if [[ "${1:-}" == "--soak" ]]; then
  selection=(-L soak)
  shift
fi
cd "$(dirname "$0")/.."
source scripts/services.sh
start_services
trap stop_services EXIT
ctest --preset "$preset" "${selection[@]}" "$@"
