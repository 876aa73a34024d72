#!/usr/bin/env bash
# The writer's CPU a frame and the picture quality on recorded desktop use, the same
# frames for every program compared:
#   1. records `desktop_painter` (a terminal typed into, a page scrolled every 2 s) on a
#      private Xvfb with `ffmpeg -f x11grab` at 30 fps, keeping only the pictures that
#      changed (mpdecimate), losslessly (FFV1), with their capture times;
#   2. replays them through `writer_replay_bench` of each build directory given (the
#      first is the reference), three times each, alternating, as the recorder hands
#      them over (only the changed pictures, at their times, with the rows they changed);
#   3. prints the CPU a frame, the file's size and the PSNR of the file's frames against
#      the lossless source at the same times (ffmpeg's psnr filter).
#
# Usage: bench/writer/writer_replay_bench.sh [seconds] [build_dir[,whole]...]   (default 20, build/default)
#   ",whole" after a build directory: its pictures do not say which rows changed, so the
#            writer converts every picture whole (as before the writer used them)
#   REPLAY_ROUNDS=3   rounds of each build
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
shift || true
builds=("$@")
[[ ${#builds[@]} -eq 0 ]] && builds=(build/default)
rounds=${REPLAY_ROUNDS:-3}
width=1920
height=1080
bench_name="writer replay bench"
source bench/recording/recording_common.sh
root=$(pwd)
need_tools Xvfb xdpyinfo ffmpeg ffprobe
build=${builds[0]%,whole}
cmake --build "$build" --target desktop_painter >/dev/null || fail "build failed"
for b in "${builds[@]}"; do
  cmake --build "${b%,whole}" --target writer_replay_bench >/dev/null || fail "build of $b failed"
done
work=$(mktemp -d "${TMPDIR:-/tmp}/writer-replay.XXXXXX") || fail "no temporary directory"
trap recording_cleanup EXIT
trap 'exit 1' INT TERM

start_x_server
start_painter "$root/$build/bench/recording/desktop_painter" 10 2
ffmpeg -nostdin -hide_banner -loglevel error -y -f x11grab -draw_mouse 0 -framerate 30 -video_size ${width}x${height} \
  -i "$DISPLAY+0,0" -t "$seconds" -vf mpdecimate=hi=1:lo=1:frac=0:max=0 -fps_mode passthrough \
  -c:v ffv1 -pix_fmt bgr0 "$work/source.mkv" || fail "the source recording failed"
ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$work/source.mkv" | sort -g \
  >"$work/source.times"
echo "$(wc -l <"$work/source.times") changed pictures in ${seconds} s, recorded at 30 fps;" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"

replay() {  # build[,whole] out
  local whole=""
  [[ $1 == *,whole ]] && whole=1
  ffmpeg -v error -i "$work/source.mkv" -map 0:v -fps_mode passthrough -f rawvideo -pix_fmt bgra - |
    env ${whole:+REPLAY_WITHOUT_CHANGES=1} "$root/${1%,whole}/bench/writer/writer_replay_bench" - "$work/source.times" 30 "$2"
}
quality() {  # file: the average PSNR of Y and of all planes
  ffmpeg -hide_banner -nostdin -i "$1" -i "$work/source.mkv" -lavfi \
    "[1:v]scale=out_color_matrix=bt709:out_range=tv,format=yuv420p,setpts=PTS-STARTPTS[r];[0:v]setpts=PTS-STARTPTS[m];[m][r]psnr" \
    -fps_mode passthrough -f null - 2>&1 | grep -o "PSNR y:[0-9.]*.*average:[0-9.]*" | awk '{print $2, $5}'
}
printf '%-28s %5s %7s %9s %9s %9s %10s\n' build round frames cpu_s ms/frame file_MiB "psnr y/avg"
for round in $(seq "$rounds"); do
  for b in "${builds[@]}"; do
    out="$work/replay-$round-$(echo "$b" | tr '/,' '__').mp4"
    result=$(replay "$b" "$out") || fail "the replay of $b failed"
    read -r _ frames _ cpu _ per_frame _ _ _ bytes <<<"$result"
    printf '%-28s %5s %7s %9s %9s %9.2f %10s\n' "$b" "$round" "$frames" "$cpu" "$per_frame" \
      "$(awk -v b="$bytes" 'BEGIN {print b / 1048576}')" "$(quality "$out" | tr ' ' '/')"
  done
done
