#!/usr/bin/env bash
# Runs every test of one build preset. Starts the services the tests need
# (a private X server and PulseAudio daemon) and stops them afterwards.
set -euo pipefail
preset=${1:-default}
cd "$(dirname "$0")/.."
source scripts/services.sh
start_services
trap stop_services EXIT
ctest --preset "$preset"
# The fuzz targets run briefly with every full test run, so that they keep building
# and the inputs kept from earlier crashes keep passing.
if [[ "$preset" == default ]]; then
  scripts/fuzz.sh "${FUZZ_TEST_SECONDS:-15}"
fi
