#!/usr/bin/env bash
# Recording the whole 1920x1080 screen at 30 and at 60 frames a second: `tavrik`
# against `ffmpeg -f x11grab` with the recorder's libx264 parameters, in one run,
# on a private X server showing a picture that changes at every frame.
#
# Usage: bench/recording/recording_bench.sh [--load] [build_dir] [seconds]   (default build/default, 10)
#   --load   one busy process per core runs beside the painter and both tools
#   PAINTER_RATE=240   the painter's pictures a second (default 120)
#   SAMPLE_THREADS=5   sample the recorder's threads every 5 ms and print where their time went
#   KEEP_RECORDINGS=1  keep the files
#   RATES="60"          the frame rates recorded (default "30 60")
#   BEFORE=path/to/tavrik  also record with that program, as "before", in the same run; the ratio
#            column of ffmpeg's rows then reads "tavrik,before"
#
# Reports per tool and rate: CPU seconds per recorded second (the tool's own
# user+system time over its whole life, from wait4, plus the X server's share:
# its CPU during the tool's life minus what the painter alone costs it over the
# same time), the ratio recorder/ffmpeg, frames written against expected, pts
# gaps and repeats, pictures repeated or skipped by content (the painter stamps a
# tick number on every picture), changed pictures left out (in all and in the first
# second), and peak resident memory (VmHWM).
# Exits non-zero only when the set-up fails; a missed goal is reported.
set -uo pipefail
cd "$(dirname "$0")/../.."
source bench/recording/recording_common.sh
read_bench_arguments 10 "$@"
painter_rate=${PAINTER_RATE:-120}  # ticks a second: at least one new picture for every grab at 60
width=1920
height=1080
bench_name="recording bench"

need_tools Xvfb xdpyinfo ffmpeg ffprobe jq awk od paste
build_bench_tools recording_painter recording-bench

start_x_server
start_painter "$painter" "$painter_rate"

# ---- What a file holds. Prints:
# frames first_second first_pts pts_gaps frames_missing pts_repeats content_repeats content_skips
#   new_pictures new_in_first_second gap_times
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
  # The painter's tick in every picture: a picture is new when its tick differs from the
  # one before; repeated when the same; skipped when the tick jumped two frame intervals.
  local step=$((painter_rate / fps)) content
  content=$(frame_counters "$file" |
    awk -v step="$step" '
      NR == 1 { first = $1 }
      {
        if (NR == 1 || $2 != last) { fresh++; if ($1 - first < 1) freshFirst++ }
        if (NR > 1) {
          advance = $2 - last
          if (advance <= 0) repeats++
          else if (advance >= 2 * step) skips++
        }
        last = $2
      }
      END { printf "%d %d %d %d", repeats, skips, fresh, freshFirst }')
  local gaps_at=${timing##* }
  echo "$frames ${timing% *} $content $gaps_at"
}

# ---- The run
echo "Recording ${seconds} s of ${width}x${height} on Xvfb $DISPLAY, painter at $painter_rate pictures a second,"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the run."
if [[ -n "$load" ]]; then
  start_hogs "$(nproc)"
  echo "Loaded: ${#hog_pids[@]} busy processes (one per core) run beside the painter and both tools."
  sleep 2
fi
baseline=$(measure_baseline "$seconds")
echo "X server with only the painter: $baseline CPU s per s"
painter_report >/dev/null
echo
for fps in ${RATES:-30 60}; do
  echo "tavrik: start {\"fps\":$fps,\"showCursor\":true,\"outputPath\":...}   (video only)"
  echo "ffmpeg: $(ffmpeg_command "$fps" "$seconds" "ffmpeg-$fps.mp4" | sed "s|$work/||g")"
done
echo

recorders=(tavrik)
[[ -n "${BEFORE:-}" ]] && recorders=(before tavrik)
declare -A row gap_list painter_during load_during
for fps in ${RATES:-30 60}; do
  for recorder in "${recorders[@]}"; do
    recorder_binary=""
    [[ $recorder == before ]] && recorder_binary=$BEFORE
    record_tavrik "$fps" "$seconds" "$work/$recorder-$fps.mp4" || fail "the recording by $recorder at $fps fps failed"
    painter_during[$recorder-$fps]=$(painter_report)
    load_during[$recorder-$fps]=$(load_average)
  done
  record_ffmpeg "$fps" "$seconds" "$work/ffmpeg-$fps.mp4" || fail "the recording by ffmpeg at $fps fps failed"
  painter_during[ffmpeg-$fps]=$(painter_report)
  load_during[ffmpeg-$fps]=$(load_average)
done
stop_hogs

printf '%-6s %-3s %5s %7s %7s %7s %7s %6s %9s %6s %7s %5s %5s %7s %7s %7s %9s %9s\n' \
  tool fps load rec_s own_cpu x_cpu cpu/s ratio frames/exp 1st_s 1st_pts gaps lost pts_rep pic_rep pic_skip \
  left_out peak_MiB
for fps in ${RATES:-30 60}; do
  for tool in "${recorders[@]}" ffmpeg; do
    read -r recorded user system peak x_seconds _ <"$work/$tool-$fps.mp4.result"
    read -r frames first_second first_pts gaps missing repeats content_repeats content_skips fresh fresh_first gaps_at \
      < <(analyse "$work/$tool-$fps.mp4" "$fps")
    per_second=$(awk -v u="$user" -v s="$system" -v x="$x_seconds" -v r="$recorded" 'BEGIN {printf "%.3f", (u + s + x) / r}')
    row[$tool-$fps]=$per_second
    gap_list[$tool-$fps]=$gaps_at
    ratio="-"
    [[ $tool == ffmpeg ]] && ratio=$(awk -v a="${row[tavrik-$fps]}" -v b="$per_second" 'BEGIN {printf "%.2f", a / b}')
    [[ $tool == ffmpeg && -n "${BEFORE:-}" ]] &&
      ratio="$ratio,$(awk -v a="${row[before-$fps]}" -v b="$per_second" 'BEGIN {printf "%.2f", a / b}')"
    expected=$(awk -v f="$fps" -v r="$recorded" 'BEGIN {printf "%d", f * r + 0.5}')
    # Changed pictures left out: the frame intervals of the recording that did not get a
    # new picture (a gap, or a picture repeated), in all and in the first second.
    left_out=$(awk -v e="$expected" -v n="$fresh" 'BEGIN {print (e > n ? e - n : 0)}')
    left_first=$(awk -v e="$fps" -v n="$fresh_first" 'BEGIN {print (e > n ? e - n : 0)}')
    printf '%-6s %-3s %5s %7.2f %7.2f %7.2f %7s %6s %9s %6s %7s %5s %5s %7s %7s %7s %9s %9s\n' \
      "$tool" "$fps" "${load_during[$tool-$fps]}" "$recorded" "$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')" \
      "$x_seconds" "$per_second" "$ratio" "$frames/$expected" "$first_second/$fps" "$first_pts" "$gaps" "$missing" \
      "$repeats" "$content_repeats" "$content_skips" "$left_out ($left_first)" \
      "$(awk -v k="$peak" 'BEGIN {printf "%.1f", k / 1024}')"
  done
  echo "       tavrik at $fps fps: pts gaps after ${gap_list[tavrik-$fps]} s; ffmpeg: after ${gap_list[ffmpeg-$fps]} s"
  echo "       ffmpeg at $fps fps counted dup=$(ffmpeg_counter "$work/ffmpeg-$fps.mp4" dup_frames)" \
    "drop=$(ffmpeg_counter "$work/ffmpeg-$fps.mp4" drop_frames)"
  echo "       painter during tavrik: ${painter_during[tavrik-$fps]}; during ffmpeg: ${painter_during[ffmpeg-$fps]}"
  if [[ -s "$work/tavrik-$fps.mp4.threads" ]]; then
    echo "       tavrik's threads at $fps fps (tid, CPU s, run-queue wait s, times scheduled), busiest first:"
    summarise_threads "$work/tavrik-$fps.mp4.threads" | head -8 | sed 's/^/         /'
  fi
done
echo "Load average $(cut -d' ' -f1-3 /proc/loadavg) after the run."
cat <<'EOF'

load: the 1-minute load average just after the recording. rec_s: recorded seconds (tavrik:
the "finish" screen duration; ffmpeg: the file's duration). own_cpu: the tool's user+system
CPU seconds over its whole life; x_cpu: the X server's CPU beyond the painter's during that
life; cpu/s: (own_cpu + x_cpu) / rec_s; ratio: tavrik / ffmpeg. frames/exp: frames decoded /
fps x rec_s; 1st_s: frames with pts in [0,1) s; 1st_pts: first pts. gaps, lost: pts intervals
over 1.5 frames and the frames they leave out; pts_rep: intervals under half a frame.
pic_rep, pic_skip: consecutive pictures with the same painter tick, and with a tick jump of
two frame intervals or more. left_out: frame intervals without a new picture (expected frames
minus pictures whose tick differs from the one before), and in brackets those of the first
second. painter: ticks it painted, those finished over one tick interval late, the latest.
peak_MiB: peak resident memory (VmHWM).
Goals: ratio <= 0.75; no frame lost or repeated (first second included); under load, tavrik's
left_out no more than ffmpeg's; peak under 150 MB.
EOF
