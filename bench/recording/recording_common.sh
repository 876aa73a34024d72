# Sourced by the recording benchmarks: a private X server with a painter on it, CPU
# hogs for a loaded machine, one recording by `tavrik` or by `ffmpeg -f x11grab` with
# the recorder's libx264 parameters, and the reading of the painter's counter in the
# decoded frames of a file. The caller sets `root`, `build`, `width`, `height` and
# `work` (a temporary directory), and calls `recording_cleanup` on exit.

fail() { echo "${bench_name:-recording bench}: $*" >&2; exit 1; }

xvfb_pid=""
painter_pid=""
tool_pid=""
sampler_pid=""
hog_pids=()

recording_cleanup() {
  [[ -n "$sampler_pid" ]] && kill "$sampler_pid" 2>/dev/null
  [[ -n "$tool_pid" ]] && kill "$tool_pid" 2>/dev/null
  [[ -n "$painter_pid" ]] && kill "$painter_pid" 2>/dev/null
  stop_hogs
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  [[ -n "${work:-}" && -z "${KEEP_RECORDINGS:-}" ]] && rm -rf "$work"
  [[ -n "${work:-}" && -n "${KEEP_RECORDINGS:-}" ]] && echo "files kept in $work" >&2
}

# Reads the benchmarks' arguments, "[--load] [build_dir] [seconds] [more...]", into
# load, build, seconds (default: the first argument here) and more_arguments.
read_bench_arguments() {  # default_seconds arguments...
  local default_seconds=$1
  shift
  root=$(pwd)
  load=""
  if [[ "${1:-}" == "--load" ]]; then
    load=yes
    shift
  fi
  build=${1:-build/default}
  seconds=${2:-$default_seconds}
  more_arguments=("${@:3}")
}

# Builds the program, the painter (a target of bench/recording) and the measuring
# tools, names them, makes the work folder and has recording_cleanup remove it on exit.
build_bench_tools() {  # painter_target work_prefix
  cmake --build "$build" --target tavrik "$1" run_measured thread_sampler >/dev/null || fail "build failed"
  tavrik="$root/$build/tavrik/tavrik"
  painter="$root/$build/bench/recording/$1"
  measured="$root/$build/bench/recording/run_measured"
  thread_sampler="$root/$build/bench/recording/thread_sampler"
  work=$(mktemp -d "${TMPDIR:-/tmp}/$2.XXXXXX") || fail "no temporary directory"
  trap recording_cleanup EXIT
  trap 'exit 1' INT TERM
}

need_tools() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null || fail "needs $tool"; done
}

# ---- A private X server on a free display number (from :150); exports DISPLAY.
start_x_server() {
  local display="" number
  for number in $(seq 150 250); do
    [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]] && continue
    display=":$number"
    break
  done
  [[ -n "$display" ]] || fail "no free display number"
  Xvfb "$display" -screen 0 "${width}x${height}x24" -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb $display did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  xdpyinfo -display "$display" >/dev/null 2>&1 || fail "Xvfb $display is not reachable"
  export DISPLAY="$display"
  unset WAYLAND_DISPLAY XDG_SESSION_TYPE
}

# ---- The painter (a program and its arguments); its standard output goes to $work/painter.out.
start_painter() {
  "$@" >"$work/painter.out" &
  painter_pid=$!
  sleep 1
  kill -0 "$painter_pid" 2>/dev/null || fail "the painter did not start"
}

# The painter's report since the last one (a line it prints on SIGUSR1).
painter_report() {
  local before
  before=$(wc -l <"$work/painter.out")
  kill -USR1 "$painter_pid" 2>/dev/null || return
  for _ in $(seq 50); do
    (($(wc -l <"$work/painter.out") > before)) && break
    sleep 0.02
  done
  tail -1 "$work/painter.out"
}

# ---- One busy process per core, at the tools' own priority, for a loaded machine.
start_hogs() {
  local count=${1:-$(nproc)} i
  for ((i = 0; i < count; i++)); do
    awk 'BEGIN { for (;;) n++ }' &
    hog_pids+=($!)
  done
}

stop_hogs() {
  local pid
  for pid in "${hog_pids[@]}"; do kill "$pid" 2>/dev/null; done
  hog_pids=()
}

load_average() { cut -d' ' -f1 /proc/loadavg; }

ticks_per_second=$(getconf CLK_TCK)
x_cpu() { awk -v hz="$ticks_per_second" '{printf "%.3f", ($14 + $15) / hz}' "/proc/$xvfb_pid/stat"; }
now() { date +%s.%N; }

# The X server's CPU per second with only the painter drawing, over `seconds`.
measure_baseline() {
  local c0 t0 c1 t1
  c0=$(x_cpu); t0=$(now)
  sleep "$1"
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
ffmpeg_command() {  # fps seconds output
  local bit_rate=$((width * height * 60 / 10))
  echo ffmpeg -nostdin -hide_banner -loglevel error -y -f x11grab -draw_mouse 1 -framerate "$1" \
    -video_size "${width}x${height}" -i "$DISPLAY+0,0" \
    -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv420p \
    -c:v libx264 -preset veryfast -profile:v high -b:v $bit_rate -maxrate $((bit_rate * 3 / 2)) \
    -bufsize $((bit_rate * 2)) -g 120 -threads 4 -color_primaries bt709 -color_trc bt709 -colorspace bt709 \
    -t "$2" -progress "$3.progress" "$3"
}

ffmpeg_counter() {  # output key: the last value of a -progress key
  grep "^$2=" "$1.progress" 2>/dev/null | tail -1 | cut -d= -f2
}

# ---- One recording by each tool, of `seconds`, into `out`. Each leaves "<out>.result":
# (record_tavrik runs $recorder_binary instead of the built program when it is set)
# recorded_seconds user system peak_kib x_seconds start_time end_time
# (tavrik: from "started" to "stop"; ffmpeg: from its launch to its end, wall clock).
# With SAMPLE_THREADS set, the recorder's threads are sampled into "<out>.threads".
record_tavrik() {  # fps seconds out
  local fps=$1 seconds=$2 out=$3 c0 t0 c1 t1 line finish="" started_at="" stopped_at=""
  c0=$(x_cpu); t0=$(now)
  coproc RECORDER { exec "$measured" "$out.usage" "${recorder_binary:-$tavrik}"; }
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
    if [[ -n "${SAMPLE_THREADS:-}" ]]; then
      # The recorder is run_measured's only child.
      local recorder_pid
      recorder_pid=$(cat "/proc/$tool_pid/task/$tool_pid/children" 2>/dev/null | awk '{print $1}')
      if [[ -n "$recorder_pid" ]]; then
        "$thread_sampler" "$recorder_pid" "$SAMPLE_THREADS" >"$out.threads" &
        sampler_pid=$!
      fi
    fi
    local sent_at
    sent_at=$(now)
    echo "start $request" >&"$to_recorder"
    if wait_event started; then
      started_at=$(now)
      echo "$sent_at" >"$out.sent"
      sleep "$seconds"
      stopped_at=$(now)
      echo "stop" >&"$to_recorder"
      wait_event finish && finish=$line
    fi
  fi
  echo "quit" >&"$to_recorder"
  exec {to_recorder}>&- {from_recorder}<&-
  wait "$tool_pid" 2>/dev/null
  tool_pid=""
  if [[ -n "$sampler_pid" ]]; then
    kill "$sampler_pid" 2>/dev/null
    wait "$sampler_pid" 2>/dev/null
    sampler_pid=""
  fi
  c1=$(x_cpu); t1=$(now)
  [[ -n "$finish" && -s "$out" && -s "$out.usage" ]] || return 1
  local recorded
  recorded=$(jq -r '.message.screen / 1000' <<<"$finish")
  echo "$recorded $(awk '{print $1, $2, $3}' "$out.usage") $(x_share "$c0" "$t0" "$c1" "$t1" "$baseline")" \
    "$started_at $stopped_at" >"$out.result"
}

record_ffmpeg() {  # fps seconds out
  local fps=$1 seconds=$2 out=$3 c0 t0 c1 t1
  c0=$(x_cpu); t0=$(now)
  # shellcheck disable=SC2046
  "$measured" "$out.usage" $(ffmpeg_command "$fps" "$seconds" "$out") 2>"$out.log" &
  tool_pid=$!
  wait "$tool_pid"
  local status=$?
  tool_pid=""
  c1=$(x_cpu); t1=$(now)
  if [[ $status -ne 0 || ! -s "$out" ]]; then
    echo "ffmpeg failed: $(tail -3 "$out.log")" >&2
    return 1
  fi
  local recorded
  recorded=$(ffprobe -v error -select_streams v:0 -show_entries format=duration -of csv=p=0 "$out")
  echo "$recorded $(awk '{print $1, $2, $3}' "$out.usage") $(x_share "$c0" "$t0" "$c1" "$t1" "$baseline")" \
    "$t0 $t1" >"$out.result"
}

# ---- The painter's counter in every decoded frame of a file, one line a frame in
# presentation order: "pts_seconds counter". The counter is drawn as 32 black or white
# blocks along the top edge, 40 rows high, bit 0 on the left.
frame_counters() {  # file
  local file=$1 pts counters
  pts=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$file" | sort -g)
  counters=$(ffmpeg -v error -i "$file" -map 0:v:0 -fps_mode passthrough -enc_time_base 1:1000000 \
      -vf "crop=$width:40:0:0,scale=32:1:flags=area,format=gray" -f rawvideo - | od -An -v -tu1 -w32 |
    awk '{
        value = 0
        for (bit = NF; bit >= 1; bit--) value = value * 2 + ($bit > 127 ? 1 : 0)
        print value
      }')
  if [[ $(wc -l <<<"$pts") -ne $(wc -l <<<"$counters") ]]; then
    echo "warning: $file has $(wc -l <<<"$pts") packets and $(wc -l <<<"$counters") decoded frames" >&2
  fi
  paste -d' ' <(echo "$pts") <(echo "$counters") | awk 'NF == 2'
}

# The distinct run time of the recorder's threads in a sample file, summarised:
# "tid cpu_s runqueue_wait_s switches" per thread, busiest first.
summarise_threads() {  # threads_file
  awk '$1 == "t" { tid = $3; run[tid] = $4; wait[tid] = $5; sw[tid] = $6
                   if (!(tid in first)) { first[tid] = 1; run0[tid] = $4; wait0[tid] = $5; sw0[tid] = $6 } }
       END { for (tid in run) printf "%s %.3f %.3f %d\n", tid, (run[tid] - run0[tid]) / 1e9,
                                        (wait[tid] - wait0[tid]) / 1e9, sw[tid] - sw0[tid] }' "$1" | sort -k2 -gr
}
