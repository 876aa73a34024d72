#!/usr/bin/env bash
# Frame spacing of real recordings: `count` recordings of `seconds` each at 30 and at 60
# frames a second, of a still screen and of the painter's screen (a new picture every
# tick), on a private X server. For every file: the shortest gap between two frames
# (against half a frame interval), the longest gap between key frames, the closest two
# key frames, and whether `ffmpeg -v error -i f -f null -` has anything to say.
#
# Usage: bench/recording/frame_spacing.sh [--load] [build_dir] [seconds] [count]   (default build/default, 10, 20)
#   --load   one busy process per core runs beside the recorders
#   PARALLEL=2   recordings of one kind running side by side (default 2: one at each rate)
#   TAVRIK=path  the program to measure (default: the one of the build directory)
set -uo pipefail
cd "$(dirname "$0")/../.."
source bench/recording/recording_common.sh
read_bench_arguments 10 "$@"
count=${more_arguments[0]:-20}
parallel=${PARALLEL:-2}
width=1920
height=1080
bench_name="frame spacing"

need_tools Xvfb xdpyinfo ffprobe ffmpeg jq awk
build_bench_tools recording_painter frame-spacing
tavrik=${TAVRIK:-$tavrik}
start_x_server
[[ -n "$load" ]] && start_hogs

# One recording of the whole screen into `out`; waits for its "finish".
record() {  # fps seconds out
  local request
  request=$(jq -cn --arg out "$3" --argjson fps "$1" '{sig: "pqwdnzruvb83617x92h5k4tc", outputPath: $out, fps: $fps}')
  { echo "start $request"; sleep "$2"; echo stop; sleep 5; echo quit; } | "$tavrik" >"$3.log" 2>&1
}

# One line per file: shortest_gap_s key_gap_max_s key_gap_min_s ffmpeg_lines
measure() {  # file
  ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 "$1" |
    sort -t, -k1,1g | awk -F, '
      { t = $1 + 0; if (n++) { g = t - last; if (min == "" || g < min) min = g } last = t
        if (index($2, "K")) { if (k++) { d = t - lastKey; if (d > kmax) kmax = d; if (kmin == "" || d < kmin) kmin = d } lastKey = t } }
      END { printf "%s %s %s", (min == "" ? 0 : min), kmax + 0, (kmin == "" ? 0 : kmin) }'
  echo " $(ffmpeg -nostdin -v error -i "$1" -f null - 2>&1 | wc -l)"
}

run_kind() {  # kind
  local kind=$1 fps i pids=() n=0
  for ((i = 0; i < count; i++)); do
    for fps in 30 60; do
      record "$fps" "$seconds" "$work/$kind-$fps-$i.mp4" &
      pids+=($!)
      n=$((n + 1))
      if ((n % parallel == 0)); then wait "${pids[@]}"; pids=(); fi
    done
  done
  ((${#pids[@]})) && wait "${pids[@]}"
  for fps in 30 60; do
    for ((i = 0; i < count; i++)); do
      local f="$work/$kind-$fps-$i.mp4"
      if [[ -s "$f" ]]; then echo "$fps $(measure "$f")"; else echo "$fps missing"; fi
    done
  done >"$work/$kind.results"
  awk -v kind="$kind" '
    $2 == "missing" { missing[$1]++; next }
    { files[$1]++; half = 0.5 / $1
      if ($2 < half - 1e-6) close_[$1]++
      if (!($1 in shortest) || $2 < shortest[$1]) shortest[$1] = $2
      if ($3 > keymax[$1]) keymax[$1] = $3
      if ($4 > 0 && (!($1 in keymin) || $4 < keymin[$1])) keymin[$1] = $4
      if ($5 > 0) noisy[$1]++ }
    END { for (fps = 30; fps <= 60; fps += 30)
            printf "%-7s %3d fps: %2d files (%d missing), %d with frames closer than half an interval, shortest gap %.2f ms, key frames %.3f to %.3f s apart, ffmpeg spoke on %d\n",
              kind, fps, files[fps], missing[fps], close_[fps], shortest[fps] * 1000, keymin[fps], keymax[fps], noisy[fps] }
  ' "$work/$kind.results"
}

echo "frame spacing: $count recordings of ${seconds} s at 30 and at 60 fps, $parallel at a time${load:+, loaded}"
run_kind still
start_painter "$painter" 120
run_kind moving
