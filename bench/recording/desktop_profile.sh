#!/usr/bin/env bash
# Where the recorder's CPU goes on desktop use: one recording of the desktop painter (a
# terminal typed into at 10 keystrokes a second, a page scrolled every 2 s) by `tavrik`,
# and by the program BEFORE= names when given, each sampled with `perf record -e
# cpu-clock` in its steady state (from 4 s after "started" to 1 s before the "stop"),
# then the share of each library, of the kernel and of the program itself in the samples,
# and the CPU a decoded frame. libx264 has no symbols, so only its total shows.
#
# Usage: bench/recording/desktop_profile.sh [build_dir] [seconds] [fps]   (default build/default, 20, 30)
#   BEFORE=path/to/tavrik   also profile that program, in the same run
set -uo pipefail
cd "$(dirname "$0")/../.."
source bench/recording/recording_common.sh
read_bench_arguments 20 "$@"
fps=${more_arguments[0]:-30}
width=1920
height=1080
bench_name="desktop profile"
need_tools Xvfb xdpyinfo ffprobe jq awk perf
build_bench_tools desktop_painter desktop-profile
start_x_server
start_painter "$painter" 10 2
baseline=$(measure_baseline 2)

profile_while_recording() {  # label binary
  local label=$1 out="$work/$1.mp4" name
  name=$(basename "${2:-$tavrik}" | cut -c1-15)  # the process's name, as the kernel keeps it
  (
    for _ in $(seq 200); do
      pid=$(pgrep -n -x "$name") && break
      sleep 0.05
    done
    [[ -n "${pid:-}" ]] || exit 0
    sleep 4
    exec perf record -q -e cpu-clock -F 1999 -p "$pid" -o "$work/$label.perf" -- sleep $((seconds - 5)) >/dev/null 2>&1
  ) &
  local profiler=$!
  recorder_binary=$2 record_tavrik "$fps" "$seconds" "$out" || fail "the recording by $label failed"
  wait "$profiler"
  local frames
  frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$out")
  read -r _ user system _ x_seconds _ <"$out.result"
  echo "$label: $frames frames in $seconds s, $(awk -v u="$user" -v s="$system" -v x="$x_seconds" -v f="$frames" \
    'BEGIN {printf "%.2f ms own + %.2f ms X server a frame", 1000 * (u + s) / f, 1000 * x / f}')"
  perf report -i "$work/$label.perf" --stdio --sort dso 2>/dev/null | awk '/^ +[0-9.]+%/ {printf "  %8s  %s\n", $1, $2}' | head -8
}

echo "Desktop painter on Xvfb $DISPLAY, ${width}x${height}, $fps fps, $seconds s a recording; load $(load_average)"
[[ -n "${BEFORE:-}" ]] && profile_while_recording before "$BEFORE"
profile_while_recording tavrik ""
