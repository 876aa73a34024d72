# Sourced by the scripts that need a display and a sound server.
# start_services starts a private Xvfb and PulseAudio daemon when none is reachable
# (its default sink "kalvesta_sink", its microphone "kalvesta_sine", a 440 Hz tone);
# stop_services stops only what start_services started.

_started_xvfb_pid=""
_started_pulse=""

start_services() {
  if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
    local display_number
    for display_number in $(seq 90 120); do
      [[ -e /tmp/.X11-unix/X$display_number || -e /tmp/.X$display_number-lock ]] && continue
      # -noreset: without it the server starts afresh whenever its last client leaves, which
      # makes every new connection wait (a still screen with no other client pays it each time).
      Xvfb ":$display_number" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      _started_xvfb_pid=$!
      export DISPLAY=":$display_number"
      break
    done
    local tries
    for tries in $(seq 50); do
      xdpyinfo >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  if ! pactl info >/dev/null 2>&1; then
    export PULSE_RUNTIME_PATH="${TMPDIR:-/tmp}/kalvesta-pulse-$$"
    mkdir -p "$PULSE_RUNTIME_PATH"
    # System audio plays into a null sink. The microphone is a sine tone played into a
    # second null sink and taken from its monitor through a remap source, so it is
    # listed as a microphone and delivers in real time (a sine source module hands
    # its audio over in bursts of seconds, unlike any real microphone).
    # Without a display and with a bus address nobody listens on: libdbus would otherwise
    # autolaunch a session bus through X11 (where dbus-x11 is installed) that outlives the daemon.
    env -u DISPLAY DBUS_SESSION_BUS_ADDRESS="unix:path=$PULSE_RUNTIME_PATH/no-bus" \
      pulseaudio --daemonize=yes --exit-idle-time=-1 --system=false --disallow-exit=no \
      -n --load="module-native-protocol-unix" --load="module-null-sink sink_name=kalvesta_sink" \
      --load="module-null-sink sink_name=kalvesta_mic_sink" \
      --load="module-sine sink=kalvesta_mic_sink frequency=440" \
      --load="module-remap-source source_name=kalvesta_sine master=kalvesta_mic_sink.monitor source_properties=device.description=Sine-microphone" \
      --load="module-always-sink" >/dev/null 2>&1 || true
    _started_pulse=yes
    local tries
    for tries in $(seq 50); do
      pactl info >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
}

stop_services() {
  if [[ -n "$_started_pulse" ]]; then
    pulseaudio --kill >/dev/null 2>&1 || true
  fi
  if [[ -n "$_started_xvfb_pid" ]]; then
    kill "$_started_xvfb_pid" >/dev/null 2>&1 || true
  fi
}
