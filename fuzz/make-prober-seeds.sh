#!/usr/bin/env bash
# Makes the prober target's seed corpus with ffmpeg: tiny files of each kind the
# prober reads, each behind the selector byte that gives its extension (the index
# into the target's extension list).
set -euo pipefail
cd "$(dirname "$0")"
out=corpus/prober_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
video=(-f lavfi -i testsrc=size=16x16:rate=10:duration=0.2)
audio=(-f lavfi -i sine=frequency=440:sample_rate=8000:duration=0.1)
make() {  # <selector> <name> <ffmpeg arguments...>
  local selector=$1 name=$2
  shift 2
  ffmpeg -v error -y "$@" "$work/$name"
  { printf "\\x$(printf %02x "$selector")"; cat "$work/$name"; } >"$out/$name"
}
mkdir -p "$out"
make 0 video.mp4 "${video[@]}" "${audio[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 16k -shortest
make 1 video.mov "${video[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p
make 2 video.m4v "${video[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f ipod
make 3 audio.m4a "${audio[@]}" -c:a aac -b:a 16k
make 3 lossless.m4a "${audio[@]}" -c:a alac
make 4 audio.mp3 "${audio[@]}" -c:a libmp3lame -b:a 8k
make 5 audio.wav "${audio[@]}" -c:a pcm_s16le
make 6 audio.ogg "${audio[@]}" -c:a libvorbis
make 7 audio.flac "${audio[@]}" -c:a flac
make 9 video.mkv "${video[@]}" "${audio[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a flac -shortest
make 10 audio.webm "${audio[@]}" -c:a libopus -ar 48000 -b:a 8k
make 11 video.avi "${video[@]}" -c:v mjpeg
