#!/usr/bin/env bash
# Bulk probing: one "infos" command over N small files against one ffprobe
# process per file (xargs -P with the machine's core count), in the same run,
# and against the floor of libavformat's open + find-stream-info alone.
#
#   bench/probe/probe_bench.sh [build-dir] [file-count]     (defaults: build/default 1000)
#
# Build first: cmake --preset default && cmake --build --preset default
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
count="${2:-1000}"
tavrik="$build/tavrik/tavrik"
floor="$build/bench/probe/probe_floor"
cores="$(nproc)"
for tool in "$tavrik" "$floor"; do [[ -x "$tool" ]] || { echo "missing $tool: build first" >&2; exit 1; }; done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Four small templates, copied round-robin to the file count.
ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=320x240:rate=30 -f lavfi -i sine=sample_rate=48000 -t 1 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac "$work/t.mp4"
ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a aac "$work/t.m4a"
ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a pcm_s16le "$work/t.wav"
ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a libmp3lame "$work/t.mp3"
templates=(mp4 m4a wav mp3)
mkdir "$work/files"
for ((i = 0; i < count; i++)); do
  ext="${templates[i % 4]}"
  cp "$work/t.$ext" "$work/files/f$i.$ext"
done
ls -1 "$work"/files/* > "$work/list"
paths="$(paste -sd, "$work/list")"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
less_than() { awk "BEGIN { exit !($1 < $2) }"; }
# Best of three runs, in seconds.
best_of_three() {
  local best=""
  for _ in 1 2 3; do
    local t0 t1 elapsed
    t0=$(now); "$@" > /dev/null; t1=$(now)
    elapsed=$(calc "$t1 - $t0")
    if [[ -z "$best" ]] || less_than "$elapsed" "$best"; then best=$elapsed; fi
  done
  echo "$best"
}
run_infos() { "$tavrik" infos "$paths" < /dev/null; }
run_ffprobe() { xargs -P "$cores" -n 1 ffprobe -v error -show_streams -show_format -of json < "$work/list"; }
floor_best() {
  local best=""
  for _ in 1 2 3; do
    local t; t=$("$floor" "$1" < "$work/list")
    if [[ -z "$best" ]] || less_than "$t" "$best"; then best=$t; fi
  done
  echo "$best"
}

# Every file must come back as a result with info.
answers=$(run_infos | grep -o '"info":' | wc -l)
[[ "$answers" -eq "$count" ]] || { echo "infos answered $answers of $count files" >&2; exit 1; }

infos=$(best_of_three run_infos)
ffprobe_parallel=$(best_of_three run_ffprobe)
floor8=$(floor_best 8)
floor1=$(floor_best 1)

ms_per_file() { calc "$1 * 1000 / $count"; }
printf 'files: %d, cores: %d\n' "$count" "$cores"
printf 'infos (one command):              %8.3f s  %8.3f ms/file\n' "$infos" "$(ms_per_file "$infos")"
printf 'ffprobe per file, xargs -P%-2d:      %8.3f s  %8.3f ms/file\n' "$cores" "$ffprobe_parallel" "$(ms_per_file "$ffprobe_parallel")"
printf 'libavformat floor, 8 threads:     %8.3f s  %8.3f ms/file\n' "$floor8" "$(ms_per_file "$floor8")"
printf 'libavformat floor, 1 thread:      %8.3f s  %8.3f ms/file\n' "$floor1" "$(ms_per_file "$floor1")"
printf 'ffprobe / infos:                  %8.1f x faster (goal: at least 40)\n' "$(calc "$ffprobe_parallel / $infos")"
printf 'infos / 8-thread floor:           %8.2f x        (goal: at most 1.5)\n' "$(calc "$infos / $floor8")"
