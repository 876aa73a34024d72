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
# A full run of the default preset also runs each fuzz target briefly, so that they
# keep building and the inputs kept from earlier crashes keep passing. It goes first,
# so that ctest's summary closes the output.
if [[ "$preset" == default && "${selection[0]}" == -LE && $# -eq 0 ]]; then
  FUZZ_SEED=${FUZZ_SEED:-1} scripts/fuzz.sh "${FUZZ_TEST_SECONDS:-15}"
fi
ctest --preset "$preset" "${selection[@]}" "$@"
