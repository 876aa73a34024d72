#!/usr/bin/env bash
# Recording desktop use: a terminal on the whole 1920x1080 screen typed into at 10
# keystrokes a second with a page of output scrolled every 2 s, for 60 s at 30 and at
# 60 frames a second, by `tavrik` and by `ffmpeg -f x11grab` with the recorder's
# libx264 parameters, in one run on a private X server.
#
# Usage: bench/recording/desktop_bench.sh [--load] [build_dir] [seconds]   (default build/default, 60)
#   --load   one busy process per core runs beside the painter and both tools
#   KEEP_RECORDINGS=1  keep the files
#   BEFORE=path/to/tavrik  also record with that program (say, one built before a change), as
#            "before", beside the built one and ffmpeg in the same run, so that both ratios hold
#
# Reports per tool and rate: CPU seconds per recorded second (own + the X server's share,
# as recording_bench.sh), per written frame, and the ratio recorder/ffmpeg; the file's size; peak resident memory; the file's
# duration read back by ffprobe against the expected one; the frames in the file; and the
# painter's changes (each keystroke, each scroll, numbered in the picture) made while the
# tool recorded, against those found in its decoded frames.
# Exits non-zero only when the set-up fails; a missed goal is reported.
set -uo pipefail
cd "$(dirname "$0")/../.."
source bench/recording/recording_common.sh
read_bench_arguments 60 "$@"
keystrokes_per_second=10
scroll_seconds=2
width=1920
height=1080
bench_name="desktop bench"

need_tools Xvfb xdpyinfo ffmpeg ffprobe jq awk od paste
build_bench_tools desktop_painter desktop-bench

start_x_server
start_painter "$painter" "$keystrokes_per_second" "$scroll_seconds"

# ---- What a file holds against the painter's changes. Prints:
# frames duration changes_made changes_found changes_missing missing_shown_long first_missing late_ms_worst
# The changes made while the tool recorded: for tavrik those drawn between its "started"
# event and the "stop" (less 0.1 s: a change then may reach a grab after the stop); for
# ffmpeg, whose time starts at its first grab, those drawn from the change its first frame
# shows to the file's duration later (less 0.1 s). A painter starved of the processor
# draws late changes back to back, and one shown for less than a frame interval may
# escape any grab: missing_shown_long counts the missing changes that stayed on the
# screen for two frame intervals or more.
analyse() {  # tool file from to fps
  local tool=$1 file=$2 from=$3 to=$4 fps=$5
  frame_counters "$file" >"$file.counters"
  local frames duration
  frames=$(wc -l <"$file.counters")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  awk -v tool="$tool" -v from="$from" -v to="$to" -v duration="$duration" -v fps="$fps" '
    FNR == NR { found[$2] = 1; if (min == "" || $2 + 0 < min + 0) min = $2; next }
    { counter = $1; when[counter] = $3 / 1e9; late[counter] = $4 / 1e6 }
    END {
      if (tool == "ffmpeg") { from = when[min]; to = from + duration - 0.1 } else { to -= 0.1 }
      made = 0; missing = 0; long = 0; first = "-"; worst = 0
      for (counter in when) {
        if (when[counter] < from || when[counter] > to) continue
        made++
        if (late[counter] > worst) worst = late[counter]
        if (!(counter in found)) {
          missing++
          if (first == "-" || counter + 0 < first + 0) first = counter
          next_change = counter + 1
          if (!(next_change in when) || when[next_change] - when[counter] >= 2 / fps) long++
        }
      }
      printf "%d %d %d %d %s %.1f\n", made, made - missing, missing, long, first, worst
    }' "$file.counters" "$work/painter.out" | { read -r line; echo "$frames $duration $line"; }
}

# ---- The run
echo "Recording ${seconds} s of a terminal (${keystrokes_per_second} keystrokes a second, a page scrolled every" \
  "${scroll_seconds} s) on Xvfb $DISPLAY, ${width}x${height},"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the run."
if [[ -n "$load" ]]; then
  start_hogs "$(nproc)"
  echo "Loaded: ${#hog_pids[@]} busy processes (one per core) run beside the painter and both tools."
  sleep 2
fi
baseline=$(measure_baseline 5)
echo "X server with only the painter: $baseline CPU s per s"
for fps in 30 60; do
  echo "tavrik: start {\"fps\":$fps,\"showCursor\":true,\"outputPath\":...}   (video only)"
  echo "ffmpeg: $(ffmpeg_command "$fps" "$seconds" "ffmpeg-$fps.mp4" | sed "s|$work/||g")"
done
echo

recorders=(tavrik)
[[ -n "${BEFORE:-}" ]] && recorders=(before tavrik)
declare -A row load_during
for fps in 30 60; do
  for recorder in "${recorders[@]}"; do
    recorder_binary=""
    [[ $recorder == before ]] && recorder_binary=$BEFORE
    record_tavrik "$fps" "$seconds" "$work/$recorder-$fps.mp4" || fail "the recording by $recorder at $fps fps failed"
    load_during[$recorder-$fps]=$(load_average)
  done
  record_ffmpeg "$fps" "$seconds" "$work/ffmpeg-$fps.mp4" || fail "the recording by ffmpeg at $fps fps failed"
  load_during[ffmpeg-$fps]=$(load_average)
done
stop_hogs

printf '%-6s %-3s %5s %7s %7s %7s %7s %8s %8s %7s %8s %8s %12s %7s %8s %8s %8s\n' \
  tool fps load rec_s own_cpu x_cpu cpu/s file_s expect_s frames changes found missing late_ms peak_MiB \
  ms/frame file_MiB
for fps in 30 60; do
  for tool in "${recorders[@]}" ffmpeg; do
    read -r recorded user system peak x_seconds from to <"$work/$tool-$fps.mp4.result"
    read -r frames duration made found missing missing_long first_missing worst_late \
      < <(analyse "$tool" "$work/$tool-$fps.mp4" "$from" "$to" "$fps")
    per_second=$(awk -v u="$user" -v s="$system" -v x="$x_seconds" -v r="$recorded" 'BEGIN {printf "%.3f", (u + s + x) / r}')
    row[$tool-$fps]=$per_second
    # tavrik: the time from "started" to "stop"; ffmpeg: its -t.
    expected=$seconds
    [[ $tool != ffmpeg ]] && expected=$(awk -v a="$from" -v b="$to" 'BEGIN {printf "%.3f", b - a}')
    per_frame=$(awk -v u="$user" -v s="$system" -v x="$x_seconds" -v f="$frames" 'BEGIN {printf "%.2f", 1000 * (u + s + x) / f}')
    file_mib=$(awk -v b="$(stat -c %s "$work/$tool-$fps.mp4")" 'BEGIN {printf "%.2f", b / 1048576}')
    printf '%-6s %-3s %5s %7.2f %7.2f %7.2f %7s %8.3f %8s %7s %8s %8s %12s %7s %8s %8s %8s\n' \
      "$tool" "$fps" "${load_during[$tool-$fps]}" "$recorded" "$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')" \
      "$x_seconds" "$per_second" "$duration" "$expected" "$frames" "$made" "$found" \
      "$missing/$missing_long$([[ $first_missing != - ]] && echo " (#$first_missing)")" "$worst_late" \
      "$(awk -v k="$peak" 'BEGIN {printf "%.1f", k / 1024}')" "$per_frame" "$file_mib"
  done
  # The ratios to ffmpeg's CPU in the same run.
  for tool in "${recorders[@]}"; do
    echo "  $tool / ffmpeg at $fps fps: $(awk -v a="${row[$tool-$fps]}" -v b="${row[ffmpeg-$fps]}" 'BEGIN {printf "%.3f", a / b}')"
  done
done
echo "Load average $(cut -d' ' -f1-3 /proc/loadavg) after the run."
cat <<'EOF'

load: the 1-minute load average just after the recording. rec_s: recorded seconds (tavrik:
the "finish" screen duration; ffmpeg: the file's duration). own_cpu: the tool's user+system
CPU seconds over its whole life; x_cpu: the X server's CPU beyond the painter's during that
life; cpu/s: (own_cpu + x_cpu) / rec_s; the ratios tavrik / ffmpeg follow each rate. file_s: the file's duration
read back by ffprobe; expect_s: tavrik, from "started" to "stop"; ffmpeg, its -t. frames:
decoded frames. changes: keystrokes and scrolls drawn while the tool recorded; found: those
whose counter shows in a decoded frame; missing: the others / those of them that stayed on
the screen for two frame intervals or more (the first missing in brackets);
late_ms: the painter's worst delay in drawing a change after its time. peak_MiB: VmHWM.
ms/frame: (own_cpu + x_cpu) per decoded frame; file_MiB: the file's size.
Goals: ratio <= 0.25; the file plays for the expected duration with every change in it.
EOF
