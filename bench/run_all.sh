#!/usr/bin/env bash
# Runs every benchmark of the default build and prints medians.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default/bench
"$build/events/bench_events" --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
"$build/commands/bench_commands" --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
"$build/preview/bench_preview" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
"$build/preview/preview_memory" 600 60
bench/probe/probe_bench.sh build/default 1000
bench/writer/writer_encode_bench.sh 600
bench/recording/recording_bench.sh build/default 10
bench/glintor/glintor_bench.js build/default 10 1,3,11
bench/recording/start_latency_bench.py --tavrik build/default/tavrik/tavrik --runs 10
source scripts/services.sh
start_services
trap stop_services EXIT
node bench/lumbra/lumbra_bench.js build/default 50
