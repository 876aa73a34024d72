#!/usr/bin/env bash
# The main job: a real recording of a screen. Starts a private X server and
# PulseAudio daemon when none is reachable, shows a moving test picture, plays a
# tone into the default sink (system audio), records a few seconds of the main
# display with system audio and the first microphone, stops, and prints the info
# of every file written.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
binary="$root/build/default/tavrik/tavrik"
seconds=${DEMO_SECONDS:-5}
out="$root/demo-output/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"

source scripts/services.sh
start_services
helpers=()
cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  stop_services
}
trap cleanup EXIT

# A moving picture and a tone to record.
ico -faces -sleep 0.02 >/dev/null 2>&1 &
helpers+=($!)
xclock -update 1 -geometry 300x300+100+100 >/dev/null 2>&1 &
helpers+=($!)
ffmpeg -loglevel quiet -re -f lavfi -i "sine=frequency=660:sample_rate=48000" -t $((seconds + 10)) -f pulse default &
helpers+=($!)
sleep 0.5

microphone=$("$binary" devices audios | jq -r '.audios | fromjson | .[0].id // empty')
request=$(jq -cn --arg out "$out" --arg mic "$microphone" '{
  sig: "pqwdnzruvb83617x92h5k4tc",
  outputPath: ($out + "/screen.mp4"),
  fps: 30,
  systemAudio: true,
  sysOutputPath: ($out + "/system-audio.m4a")
} + (if $mic == "" then {} else {microphoneID: $mic, micOutputPath: ($out + "/microphone.m4a")} end)')

echo "Recording ${seconds} s of display ${DISPLAY} into ${out}"
[[ -n "$microphone" ]] && echo "Microphone: ${microphone}"
coproc RECORDER { "$binary"; }
exec {to_recorder}>&"${RECORDER[1]}"
wait_for() {
  local line
  while IFS= read -r -t 20 line <&"${RECORDER[0]}"; do
    echo "  < $line"
    [[ "$line" == *"\"event\":\"$1\""* ]] && return 0
    [[ "$line" == *"\"event\":\"error\""* ]] && return 1
  done
  echo "no \"$1\" event" >&2
  return 1
}
wait_for ready
echo "  > start"
echo "start $request" >&"$to_recorder"
wait_for started
sleep "$seconds"
echo "  > stop"
echo "stop" >&"$to_recorder"
wait_for finish
echo "quit" >&"$to_recorder"
exec {to_recorder}>&-
wait "$RECORDER_PID" || true

echo
echo "Files written in ${out}:"
files=$(ls -d "$out"/* | paste -sd, -)
"$binary" infos "$files" | jq .
