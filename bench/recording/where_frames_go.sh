#!/usr/bin/env bash
# Where the recorder's frames go: one recording by `tavrik` of the painter's screen (a
# picture that changes at every tick), traced from outside with uprobes on the program's
# own functions (perf, run as root), and each frame interval that did not reach the file
# put down to the step that left it out:
#   - the grabber did not look at the screen on that tick: its queue to the recording was
#     full (frames delivered and not yet handled: the stream's queue depth), or it woke up
#     late and started afresh;
#   - the grab was handled but the writer refused the frame (its real-time queue was full).
# It also times the video encoder's creation and each frame's handing to the encoder.
#
# Usage: bench/recording/where_frames_go.sh [--load] [build_dir] [seconds] [fps]   (default build/default, 10, 60)
#   --load   one busy process per core runs beside the painter and the recorder
#   PAINTER_RATE=240   the painter's pictures a second (default 120)
set -uo pipefail
cd "$(dirname "$0")/../.."
source bench/recording/recording_common.sh
read_bench_arguments 10 "$@"
fps=${more_arguments[0]:-60}
painter_rate=${PAINTER_RATE:-120}
width=1920
height=1080
bench_name="where frames go"

need_tools Xvfb xdpyinfo ffprobe jq awk perf nm
[[ $(id -u) -eq 0 ]] || fail "needs root for uprobes"
build_bench_tools recording_painter where-frames-go
group="wfg$$"
perf_pid=""
cleanup() {
  [[ -n "$perf_pid" ]] && kill -INT "$perf_pid" 2>/dev/null
  perf probe -q -d "$group:*" 2>/dev/null
  recording_cleanup
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- Probes on the program's functions, found by their symbols.
address() {  # symbol pattern (a regular expression on the mangled name)
  nm "$tavrik" | awk -v pattern="$1" '$2 ~ /^[Tt]$/ && $3 ~ pattern && $3 !~ /\.cold$/ { print "0x" $1; exit }'
}
probe() {  # event spec
  perf probe -q -x "$tavrik" -a "$group:$1=$2" >/dev/null 2>&1 || fail "cannot add the probe $1 ($2)"
}
declare -A symbols=(
  [room]='XFrameGrabber7changedEv$'
  [grab]='XFrameGrabber4grabEv$'
  [post]='DeliveryGate4postERNS_5QueueE'
  [handle]='RecordingSession12handleScreenE'
  [append]='OutputFile13appendIfReadyERKSt10shared_ptr'
  [encoder]='VideoEncoderC2ERKNS_13VideoSettings'
  [encode]='VideoEncoder4takeERKNS_11PixelBuffer'
)
for name in "${!symbols[@]}"; do
  at=$(address "${symbols[$name]}")
  [[ -n "$at" ]] || fail "no symbol for $name in $tavrik"
  probe "$name" "$at"
  case $name in
    handle | encoder | encode) probe "${name}_end" "$at%return" ;;
    append | post) probe "${name}_end" "$at%return took=%ax:u8" ;;
  esac
done

start_x_server
start_painter "$painter" "$painter_rate"
echo "One ${seconds} s recording at $fps fps of ${width}x${height}, painter at $painter_rate pictures a second,"
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before it."
if [[ -n "$load" ]]; then
  start_hogs "$(nproc)"
  echo "Loaded: ${#hog_pids[@]} busy processes (one per core)."
  sleep 2
fi
baseline=0
perf record -q -a -k CLOCK_MONOTONIC -e "$group:*" -o "$work/perf.data" >/dev/null 2>&1 &
perf_pid=$!
sleep 1
record_tavrik "$fps" "$seconds" "$work/tavrik.mp4" || fail "the recording failed"
echo "Load average $(cut -d' ' -f1-3 /proc/loadavg) at its end."
kill -INT "$perf_pid"
wait "$perf_pid" 2>/dev/null
perf_pid=""
stop_hogs

ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$work/tavrik.mp4" | sort -g \
  >"$work/pts"
perf script -i "$work/perf.data" -F tid,time,event,trace 2>/dev/null |
  awk -v group="$group" '{
      for (i = 1; i <= NF; i++) if ($i ~ "^" group ":") { name = $i; sub("^" group ":", "", name); sub(":$", "", name); sub("__return$", "", name); break }
      time = $2; sub(":$", "", time)
      took = ""; for (j = i; j <= NF; j++) if ($j ~ /^took=/) { took = $j; sub("took=", "", took) }
      print time, $1, name, took
    }' >"$work/events"

# ---- The account. The file's frames carry the monotonic time of their grab less the
# session's start (the first frame's grab), which lines them up with the probes' times.
awk -v fps="$fps" -v depth=6 '
  FNR == NR { pts[++frames] = $1; next }
  {
    t = $1; what = $3
    if (what == "encoder") encoderAt = t
    if (what == "encoder_end" && encoderEnd == "") encoderEnd = t
    if (what == "room") { checks[++nChecks] = t; fullBefore[nChecks] = maxInFlight; maxInFlight = inFlight }
    if (what == "grab") grabs++
    if (what == "post_end") {
      if ($4 == 1) { inFlight++; if (inFlight > maxInFlight) maxInFlight = inFlight } else { postDropped++ }
    }
    if (what == "handle_end") { inFlight--; handled++ }
    if (what == "append_end") { if ($4 == 1) taken++; else { refused++; refusedAt[refused] = t } }
    if (what == "encode") encodeStart = t
    if (what == "encode_end" && encodeStart != "") {
      took = t - encodeStart; encodes++
      if (took > worstEncode) { worstEncode = took; worstEncodeAt = t }
      if (took > 1 / fps) { slowAt[++slow] = encodeStart; slowMs[slow] = took * 1000 }
      encodeStart = ""
    }
  }
  END {
    period = 1 / fps
    origin = checks[1]
    printf "ticks the grabber looked at the screen: %d; grabs: %d; deliveries refused by the stream'"'"'s queue: %d;\n", nChecks, grabs, postDropped + 0
    printf "frames handled by the recording: %d; taken by the writer: %d; refused by the writer: %d; frames in the file: %d\n",
      handled, taken, refused + 0, frames
    if (encoderAt != "")
      printf "video encoder created %.0f ms after the first tick, in %.0f ms\n", (encoderAt - origin) * 1000, (encoderEnd - encoderAt) * 1000
    printf "frames handed to the encoder: %d, the longest took %.1f ms (at %.3f s); %d took over a frame interval\n",
      encodes, worstEncode * 1000, worstEncodeAt - origin, slow + 0
    if (slow > 0 && slow <= 30) {
      line = "  at (s):"
      for (k = 1; k <= slow; k++) line = line sprintf(" %.3f(%.0f ms)", slowAt[k] - origin, slowMs[k])
      print line
    }
    # Ticks the grabber did not look at the screen, and whether the stream queue was full
    # (its depth of frames delivered and not yet handled) at some moment in between.
    skippedFull = 0; skippedLate = 0; first = 0; list = ""
    for (k = 2; k <= nChecks; k++) {
      missed = int((checks[k] - checks[k - 1]) / period + 0.5) - 1
      if (missed <= 0) continue
      full = fullBefore[k] >= depth
      if (full) skippedFull += missed; else skippedLate += missed
      if (checks[k - 1] - origin < 1) first += missed
      list = list sprintf(" %.3f+%d(%s)", checks[k - 1] - origin, missed, full ? "queue full" : "late")
    }
    printf "ticks not looked at: %d with the queue full (%d frames in flight), %d with the grabber late; %d in the first second\n",
      skippedFull, depth, skippedLate, first
    if (list != "") print "  after (s):" list
    list = ""; first = 0
    for (k = 1; k <= refused; k++) {
      list = list sprintf(" %.3f", refusedAt[k] - origin); if (refusedAt[k] - origin < 1) first++
    }
    printf "frames refused by the writer: %d, %d in the first second\n", refused, first
    if (list != "") print "  at (s):" list
    gaps = 0; lost = 0; list = ""
    for (k = 2; k <= frames; k++) {
      interval = (pts[k] - pts[k - 1]) * fps
      if (interval > 1.5) { gaps++; lost += int(interval + 0.5) - 1; list = list sprintf(" %.3f", pts[k - 1]) }
    }
    printf "the file: %d frames, %d pts gaps leaving out %d frames, after (s):%s\n", frames, gaps, lost, list
  }' "$work/pts" "$work/events"
painter_report | sed 's/^/painter over the whole run: /'
