#!/usr/bin/env bash
# Encoding cost per 1920x1080 BGRA frame: the asset writer's H.264 screen preset
# against the ffmpeg command-line tool with the same libx264 parameters, in the
# same run. Usage: bench/writer_encode_bench.sh [frames]   (default 600 = 10 s at 60 fps)
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset default >/dev/null
cmake --build --preset default --target writer_encode_bench >/dev/null
exec build/default/bench/writer/writer_encode_bench "${1:-600}"
