#!/usr/bin/env bash
# Hostile files: the first 4000 bytes of a real file followed by zeros, as a
# 2 GiB hole (sparse) or as 40 MiB written out. For each, the wall time and
# peak memory of "tavrik info" on it, and of one "tavrik infos" naming it 16
# times in 16 spellings (./f, .//f, ...: 16 files to the prober); best of three.
#
#   bench/probe/hostile_bench.sh [build-dir]      (default: build/default)
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/default}"
tavrik="$build/tavrik/tavrik"
measure="$build/bench/recording/run_measured"
for tool in "$tavrik" "$measure"; do [[ -x "$tool" ]] || { echo "missing $tool: build first" >&2; exit 1; }; done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a libmp3lame t.mp3
ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=160x120:rate=30 -f lavfi -i sine=sample_rate=48000 -t 1 \
  -c:v libx264 -preset ultrafast -c:a libopus t.mkv
ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a pcm_s16le t.wav
ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=160x120:rate=30 -f lavfi -i sine=sample_rate=48000 -t 1 \
  -c:v libx264 -preset ultrafast -c:a aac -f mpegts t.ts

kinds=(mp3:mp3 mkv:mkv wav:wav ts:mp4)
for kind in "${kinds[@]}"; do
  source="t.${kind%%:*}" ext="${kind##*:}"
  head -c 4000 "$source" > "hole-${kind%%:*}.$ext"; truncate -s 2G "hole-${kind%%:*}.$ext"
  head -c 4000 "$source" > "zeros-${kind%%:*}.$ext"; head -c $((40 << 20)) /dev/zero >> "zeros-${kind%%:*}.$ext"
done

# Best of three: the smallest wall time and the largest peak memory, "seconds MiB".
best_of_three() {
  for _ in 1 2 3; do
    "$measure" "$work/report" "$@" </dev/null >/dev/null
    cat "$work/report"
  done | awk 'NR == 1 || $4 < t { t = $4 } $3 > m { m = $3 } END { printf "%.3f %d", t, m / 1024 }'
}
sixteen_names() {
  local names="" spelled="$1"
  for _ in $(seq 16); do names="$names,$work/$spelled"; spelled="./$spelled"; done
  echo "${names#,}"
}

printf 'load average: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %9s %9s %12s %12s %8s\n' file "one s" "one MiB" "16 names s" "16 MiB" ratio
for file in hole-* zeros-*; do
  read -r one_s one_m <<<"$(best_of_three "$tavrik" info "$work/$file")"
  read -r many_s many_m <<<"$(best_of_three "$tavrik" infos "$(sixteen_names "$file")")"
  printf '%-14s %9.3f %9d %12.3f %12d %8.2f\n' "$file" "$one_s" "$one_m" "$many_s" "$many_m" \
    "$(awk "BEGIN { print $many_s / $one_s }")"
done
