#!/usr/bin/env bash
# Recording the whole 1920x1080 screen at 30 and at 60 frames a second: `tavrik`
# against `ffmpeg -f x11grab` with the recorder's libx264 parameters, in one run,
# on a private X server showing a picture that changes at every frame.
#
# Usage: bench/recording/recording_bench.sh [build_dir] [seconds]   (default build/default, 10)
#
# Reports per tool and rate: CPU seconds per recorded second (the tool's own
# user+system time over its whole life, from wait4, plus the X server's share:
# its CPU during the tool's life minus what the painter alone costs it over the
# same time), the ratio recorder/ffmpeg, frames written against expected, pts
# gaps and repeats, pictures repeated or skipped by content (the painter stamps a
# tick number on every picture), and peak resident memory (VmHWM).
# Exits non-zero only when the set-up fails; a missed goal is reported.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-build/default}
seconds=${2:-10}
painter_rate=${PAINTER_RATE:-120}  # ticks a second: at least one new picture for every grab at 60
width=1920
height=1080

fail() { echo "recording bench: $*" >&2; exit 1; }

for tool in Xvfb xdpyinfo ffmpeg ffprobe jq awk od; do
  command -v "$tool" >/dev/null || fail "needs $tool"
done
cmake --build "$build" --target tavrik recording_painter run_measured >/dev/null || fail "build failed"
tavrik="$root/$build/tavrik/tavrik"
painter="$root/$build/bench/recording/recording_painter"
measured="$root/$build/bench/recording/run_measured"

work=$(mktemp -d "${TMPDIR:-/tmp}/recording-bench.XXXXXX") || fail "no temporary directory"
xvfb_pid=""
painter_pid=""
tool_pid=""
cleanup() {
  [[ -n "$tool_pid" ]] && kill "$tool_pid" 2>/dev/null
  [[ -n "$painter_pid" ]] && kill "$painter_pid" 2>/dev/null
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- A private X server on a free display number, and the painter
display=""
for number in $(seq 150 250); do
  [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]] && continue
  display=":$number"
  break
done
[[ -n "$display" ]] || fail "no free display number"
Xvfb "$display" -screen 0 ${width}x${height}x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  xdpyinfo -display "$display" >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb $display did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done
xdpyinfo -display "$display" >/dev/null 2>&1 || fail "Xvfb $display is not reachable"
export DISPLAY="$display"
unset WAYLAND_DISPLAY XDG_SESSION_TYPE

"$painter" "$painter_rate" &
painter_pid=$!
sleep 1
kill -0 "$painter_pid" 2>/dev/null || fail "the painter did not start"

ticks_per_second=$(getconf CLK_TCK)
x_cpu() { awk -v hz="$ticks_per_second" '{printf "%.3f", ($14 + $15) / hz}' "/proc/$xvfb_pid/stat"; }
now() { date +%s.%N; }

# The X server's CPU per second with only the painter drawing.
measure_baseline() {
  local c0 t0 c1 t1
  c0=$(x_cpu); t0=$(now)
  sleep "$seconds"
  c1=$(x_cpu); t1=$(now)
  awk -v c="$c1" -v d="$c0" -v t="$t1" -v s="$t0" 'BEGIN {printf "%.4f", (c - d) / (t - s)}'
}

# The X server's CPU over [start, end] beyond the painter's baseline.
x_share() {  # c0 t0 c1 t1 baseline
  awk -v c1="$3" -v c0="$1" -v t1="$4" -v t0="$2" -v b="$5" 'BEGIN {printf "%.3f", (c1 - c0) - b * (t1 - t0)}'
}

# ---- The recorder's libx264 parameters (screenH264UpTo4K for a 1920x1080 source)
# veryfast, High profile, ABR at 0.1 bit a pixel a frame at 60 frames a second,
# VBV max rate 1.5x and buffer 2x the average, key frame every 120 frames, 4 threads,
# BGRA converted with the BT.709 matrix into limited-range 4:2:0.
bit_rate=$((width * height * 60 / 10))
max_rate=$((bit_rate * 3 / 2))
buffer_size=$((bit_rate * 2))
ffmpeg_command() {  # fps output
  echo ffmpeg -nostdin -hide_banner -loglevel error -y -f x11grab -draw_mouse 1 -framerate "$1" \
    -video_size ${width}x${height} -i "$display+0,0" \
    -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv420p \
    -c:v libx264 -preset veryfast -profile:v high -b:v $bit_rate -maxrate $max_rate -bufsize $buffer_size \
    -g 120 -threads 4 -color_primaries bt709 -color_trc bt709 -colorspace bt709 \
    -t "$seconds" -progress "$work/ffmpeg-$1.progress" "$2"
}

# ---- One recording by each tool. Each leaves "$work/<tool>-<fps>.result":
# recorded_seconds user system peak_kib x_seconds extra
record_tavrik() {
  local fps=$1 out="$work/tavrik-$1.mp4" c0 t0 c1 t1 line finish="" ok=1
  c0=$(x_cpu); t0=$(now)
  coproc RECORDER { exec "$measured" "$work/tavrik-$fps.usage" "$tavrik"; }
  tool_pid=$RECORDER_PID
  exec {to_recorder}>&"${RECORDER[1]}"
  exec {from_recorder}<&"${RECORDER[0]}"
  wait_event() {
    while IFS= read -r -t 30 line <&"$from_recorder"; do
      [[ "$line" == *"\"event\":\"$1\""* ]] && return 0
      [[ "$line" == *"\"event\":\"error\""* ]] && { echo "tavrik: $line" >&2; return 1; }
    done
    echo "tavrik: no \"$1\" event" >&2
    return 1
  }
  local request
  request=$(jq -cn --arg out "$out" --argjson fps "$fps" \
    '{sig: "pqwdnzruvb83617x92h5k4tc", outputPath: $out, fps: $fps, showCursor: true}')
  if wait_event ready; then
    echo "start $request" >&"$to_recorder"
    if wait_event started; then
      sleep "$seconds"
      echo "stop" >&"$to_recorder"
      wait_event finish && finish=$line
    fi
  fi
  echo "quit" >&"$to_recorder"
  exec {to_recorder}>&- {from_recorder}<&-
  wait "$tool_pid" 2>/dev/null
  tool_pid=""
  c1=$(x_cpu); t1=$(now)
  [[ -n "$finish" && -s "$out" && -s "$work/tavrik-$fps.usage" ]] || return 1
  local recorded
  recorded=$(jq -r '.message.screen / 1000' <<<"$finish")
  echo "$recorded $(awk '{print $1, $2, $3}' "$work/tavrik-$fps.usage") $(x_share "$c0" "$t0" "$c1" "$t1" "$baseline")" \
    >"$work/tavrik-$fps.result"
}

record_ffmpeg() {
  local fps=$1 out="$work/ffmpeg-$1.mp4" c0 t0 c1 t1
  c0=$(x_cpu); t0=$(now)
  # shellcheck disable=SC2046
  "$measured" "$work/ffmpeg-$fps.usage" $(ffmpeg_command "$fps" "$out") 2>"$work/ffmpeg-$fps.log" &
  tool_pid=$!
  wait "$tool_pid"
  local status=$?
  tool_pid=""
  c1=$(x_cpu); t1=$(now)
  if [[ $status -ne 0 || ! -s "$out" ]]; then
    echo "ffmpeg failed: $(tail -3 "$work/ffmpeg-$fps.log")" >&2
    return 1
  fi
  local recorded
  recorded=$(ffprobe -v error -select_streams v:0 -show_entries format=duration -of csv=p=0 "$out")
  echo "$recorded $(awk '{print $1, $2, $3}' "$work/ffmpeg-$fps.usage") $(x_share "$c0" "$t0" "$c1" "$t1" "$baseline")" \
    >"$work/ffmpeg-$fps.result"
}

# ---- What a file holds. Prints:
# frames first_second first_pts pts_gaps frames_missing pts_repeats content_repeats content_skips gap_times
analyse() {  # file fps
  local file=$1 fps=$2 frames
  frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$file")
  local timing
  timing=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$file" | sort -g |
    awk -v fps="$fps" '
      NR == 1 { first = $1 }
      $1 >= 0 && $1 < 1 { firstSecond++ }
      NR > 1 {
        interval = ($1 - last) * fps
        if (interval < 0.5) repeats++
        else if (interval > 1.5) {
          gaps++; missing += int(interval + 0.5) - 1
          where = where (where == "" ? "" : ",") sprintf("%.3f", last)
        }
      }
      { last = $1 }
      END { printf "%d %.4f %d %d %d %s", firstSecond, first, gaps, missing, repeats, (where == "" ? "-" : where) }')
  # The painter's tick number, read from the 32 blocks along the top edge of every picture.
  local step=$((painter_rate / fps)) content
  content=$(ffmpeg -v error -i "$file" -vf "crop=$width:40:0:0,scale=32:1:flags=area,format=gray" \
      -f rawvideo - | od -An -v -tu1 -w32 |
    awk -v step="$step" '
      {
        tick = 0
        for (bit = NF; bit >= 1; bit--) tick = tick * 2 + ($bit > 127 ? 1 : 0)
        if (NR > 1) {
          advance = tick - last
          if (advance <= 0) repeats++
          else if (advance >= 2 * step) skips++
        }
        last = tick
      }
      END { printf "%d %d", repeats, skips }')
  local gaps_at=${timing##* }
  echo "$frames ${timing% *} $content $gaps_at"
}

ffmpeg_counter() {  # fps key: the last value of a -progress key
  grep "^$2=" "$work/ffmpeg-$1.progress" 2>/dev/null | tail -1 | cut -d= -f2
}

# ---- The run
echo "Recording ${seconds} s of ${width}x${height} on Xvfb $display, painter at $painter_rate pictures a second,"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the run."
baseline=$(measure_baseline)
echo "X server with only the painter: $baseline CPU s per s"
echo
for fps in 30 60; do
  echo "tavrik: start {\"fps\":$fps,\"showCursor\":true,\"outputPath\":...}   (video only)"
  echo "ffmpeg: $(ffmpeg_command "$fps" "ffmpeg-$fps.mp4" | sed "s|$work/||g")"
done
echo

declare -A row gap_list
for fps in 30 60; do
  record_tavrik "$fps" || fail "the recording by tavrik at $fps fps failed"
  record_ffmpeg "$fps" || fail "the recording by ffmpeg at $fps fps failed"
done

printf '%-6s %-3s %8s %8s %8s %8s %6s %9s %7s %8s %5s %5s %7s %7s %7s %9s\n' \
  tool fps rec_s own_cpu x_cpu cpu/s ratio frames/exp 1st_s 1st_pts gaps lost pts_rep pic_rep pic_skip peak_MiB
for fps in 30 60; do
  for tool in tavrik ffmpeg; do
    read -r recorded user system peak x_seconds <"$work/$tool-$fps.result"
    read -r frames first_second first_pts gaps missing repeats content_repeats content_skips gaps_at \
      < <(analyse "$work/$tool-$fps.mp4" "$fps")
    per_second=$(awk -v u="$user" -v s="$system" -v x="$x_seconds" -v r="$recorded" 'BEGIN {printf "%.3f", (u + s + x) / r}')
    row[$tool-$fps]=$per_second
    gap_list[$tool-$fps]=$gaps_at
    ratio="-"
    [[ $tool == ffmpeg ]] && ratio=$(awk -v a="${row[tavrik-$fps]}" -v b="$per_second" 'BEGIN {printf "%.2f", a / b}')
    expected=$(awk -v f="$fps" -v r="$recorded" 'BEGIN {printf "%d", f * r + 0.5}')
    printf '%-6s %-3s %8.2f %8.2f %8.2f %8s %6s %9s %7s %8s %5s %5s %7s %7s %7s %9s\n' \
      "$tool" "$fps" "$recorded" "$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')" "$x_seconds" \
      "$per_second" "$ratio" "$frames/$expected" "$first_second/$fps" "$first_pts" "$gaps" "$missing" "$repeats" \
      "$content_repeats" "$content_skips" "$(awk -v k="$peak" 'BEGIN {printf "%.1f", k / 1024}')"
  done
  echo "       tavrik at $fps fps: pts gaps after ${gap_list[tavrik-$fps]} s; ffmpeg: after ${gap_list[ffmpeg-$fps]} s"
  echo "       ffmpeg at $fps fps counted dup=$(ffmpeg_counter "$fps" dup_frames) drop=$(ffmpeg_counter "$fps" drop_frames)"
done
cat <<'EOF'

rec_s: recorded seconds (tavrik: the "finish" screen duration; ffmpeg: the file's duration).
own_cpu: the tool's user+system CPU seconds over its whole life; x_cpu: the X server's CPU
beyond the painter's during that life; cpu/s: (own_cpu + x_cpu) / rec_s; ratio: tavrik / ffmpeg.
frames/exp: frames decoded / fps x rec_s; 1st_s: frames with pts in [0,1) s; 1st_pts: first pts.
gaps, lost: pts intervals over 1.5 frames and the frames they leave out; pts_rep: intervals
under half a frame. pic_rep, pic_skip: consecutive pictures with the same painter tick, and
with a tick jump of two frame intervals or more. peak_MiB: peak resident memory (VmHWM).
Goals: ratio <= 0.6; no frame lost or repeated (first second included); peak under 150 MB.
EOF
