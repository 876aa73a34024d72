#!/usr/bin/env python3
"""How long the recorder takes from "start" to "started", and from "preview" to the
first "VOL:" line, on both sound servers Linux desktops run.

Starts a private Xvfb and, in turn, a private PulseAudio daemon and a private
PipeWire server (pipewire, wireplumber, pipewire-pulse under their own runtime
folder and session bus), each with a speakers sink (the default, playing a 660 Hz
tone) and a microphone (a remap of a null sink's monitor playing 440 Hz). For each
server it runs the recorder and measures, over RUNS runs each:
  - "start" -> "started" with the microphone and system audio,
  - "start" -> "started" with the screen alone,
  - "preview" -> first "VOL:" line, and "preview {}" -> the last "VOL:" line after it
    and -> the answer to the next command (the stop done),
  - after each of five resumes, how much shorter the microphone's reported duration is
    than the screen's (negative: longer).
Prints the median, minimum and maximum of each in milliseconds (with
BENCH_ALL_VALUES=1 every value too). Each run uses a fresh recorder process, as
the host starts one for a recording session: its first start and first preview
pay for what later ones find ready.

  bench/recording/start_latency_bench.py [--tavrik PATH] [--runs N] [--servers pulseaudio,pipewire]
"""

import argparse
import json
import math
import os
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SIG = "pqwdnzruvb83617x92h5k4tc"


def wait_for(condition, timeout=30.0, every=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(every)
    return condition()


def can_connect(path):
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.connect(path)
        return True
    except OSError:
        return False


class Children:
    """Background processes of the benchmark, ended in reverse order."""

    def __init__(self):
        self.processes = []

    def start(self, command, env=None, **kwargs):
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes = []


def start_xvfb(children):
    read_end, write_end = os.pipe()
    children.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
                    "-noreset"], pass_fds=(write_end,))
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], 10)
        if not ready:
            break
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        sys.exit("Xvfb did not start")
    return ":" + number.decode().strip()


def server_environment(runtime, kind):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    if kind == "pulseaudio":
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + runtime + "/no-bus"
        env["PULSE_RUNTIME_PATH"] = runtime
        env["PULSE_STATE_PATH"] = runtime
    else:
        env.update({"XDG_RUNTIME_DIR": runtime, "PIPEWIRE_RUNTIME_DIR": runtime,
                    "PULSE_RUNTIME_PATH": runtime + "/pulse", "XDG_STATE_HOME": runtime + "/state",
                    "XDG_CONFIG_HOME": runtime + "/config",
                    "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + runtime + "/bus"})
        env.pop("PULSE_SERVER", None)
    return env


def start_sound_server(children, kind, runtime):
    env = server_environment(runtime, kind)
    if kind == "pulseaudio":
        socket_path = runtime + "/native"
        children.start(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                        "--disallow-exit=no", "--disable-shm=yes",
                        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_path], env=env)
    else:
        os.chmod(runtime, 0o700)
        bus = runtime + "/bus"
        children.start(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus], env=env)
        wait_for(lambda: can_connect(bus))
        children.start(["pipewire"], env=env)
        wait_for(lambda: can_connect(runtime + "/pipewire-0"))
        children.start(["wireplumber"], env=env)
        children.start(["pipewire-pulse"], env=env)
        socket_path = runtime + "/pulse/native"
    if not wait_for(lambda: can_connect(socket_path)):
        sys.exit(kind + " did not start")
    return "unix:" + socket_path


def pactl(server, *arguments):
    env = dict(os.environ, PULSE_SERVER=server)
    return subprocess.run(["pactl", *arguments], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True)


def lay_out(server):
    wait_for(lambda: pactl(server, "info").returncode == 0)
    spec = "format=float32le rate=48000 channels=2"
    pactl(server, "load-module", "module-null-sink", "sink_name=bench_speakers", spec)
    pactl(server, "load-module", "module-null-sink", "sink_name=bench_microphone_sink", spec)
    pactl(server, "load-module", "module-remap-source", "source_name=bench_microphone",
          "master=bench_microphone_sink.monitor")

    def defaults_taken():
        pactl(server, "set-default-sink", "bench_speakers")
        pactl(server, "set-default-source", "bench_microphone")
        info = pactl(server, "info").stdout
        return "Default Sink: bench_speakers\n" in info and "Default Source: bench_microphone\n" in info

    if not wait_for(defaults_taken, every=0.05):
        sys.exit("the sound server did not take its default devices")


def tone_file(folder, frequency, seconds):
    path = os.path.join(folder, "tone-%d.raw" % frequency)
    frames = int(48000 * seconds)
    with open(path, "wb") as out:
        block = []
        for frame in range(frames):
            value = 0.5 * math.sin(2 * math.pi * frequency * frame / 48000)
            block.append(struct.pack("<ff", value, value))
            if len(block) == 48000:
                out.write(b"".join(block))
                block = []
        out.write(b"".join(block))
    return path


class Recorder:
    def __init__(self, tavrik, env):
        self.process = subprocess.Popen([tavrik], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, bufsize=0)
        self.buffer = b""
        self.line()  # banner
        while True:
            event = self.event()
            if event is None or event.get("event") == "ready":
                break

    def send(self, text):
        self.process.stdin.write((text + "\n").encode())

    def line(self, timeout=60.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def event(self, timeout=60.0):
        line = self.line(timeout)
        if line is None:
            return None
        try:
            return json.loads(line)
        except ValueError:
            return {"line": line}

    def wait_for(self, name, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            event = self.event(max(0.0, deadline - time.monotonic()))
            if event is None:
                return None
            if event.get("event") == name:
                return event

    def quit(self):
        try:
            self.send("quit")
            self.process.wait(30)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def start_to_started(recorder, folder, run, with_sound):
    request = {"sig": SIG, "outputPath": os.path.join(folder, "screen-%d.mp4" % run)}
    if with_sound:
        request.update({"systemAudio": True, "sysOutputPath": os.path.join(folder, "system-%d.m4a" % run),
                        "microphoneID": "bench_microphone", "micOutputPath": os.path.join(folder, "mic-%d.m4a" % run)})
    sent = time.monotonic()
    recorder.send("start " + json.dumps(request))
    started = recorder.wait_for("started", 20)
    elapsed = (time.monotonic() - sent) * 1000
    if started is None:
        sys.exit("no \"started\" within 20 s")
    time.sleep(0.5)
    recorder.send("stop")
    if recorder.wait_for("finish") is None:
        sys.exit("no \"finish\"")
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name)) if name.endswith((".mp4", ".m4a")) else None
    return elapsed


def preview_latencies(recorder):
    sent = time.monotonic()
    recorder.send("preview " + json.dumps({"microphoneID": "bench_microphone"}))
    line = recorder.line(20)
    first = (time.monotonic() - sent) * 1000
    if line is None or not line.startswith("VOL:"):
        sys.exit("no level line: %r" % line)
    time.sleep(0.3)
    stop_sent = time.monotonic()
    recorder.send("preview {}")
    # An unknown command is answered once the stop before it is done: its answer times the stop.
    recorder.send("marker")
    last = stop_sent
    while True:
        line = recorder.line(20)
        if line is None:
            sys.exit("no answer to the marker")
        if line.startswith("VOL:"):
            last = time.monotonic()
            continue
        break
    answered = time.monotonic()
    return first, (last - stop_sent) * 1000, (answered - stop_sent) * 1000


def resumed_segment_shortfalls(recorder, folder, run):
    """Screen minus microphone duration (ms) as the pauses report them, for the five
    segments that follow a resume."""
    def request(segment):
        return json.dumps({"sig": SIG, "outputPath": os.path.join(folder, "pause-%d-%d.mp4" % (run, segment)),
                           "microphoneID": "bench_microphone",
                           "micOutputPath": os.path.join(folder, "pause-%d-%d.m4a" % (run, segment))})
    recorder.send("start " + request(0))
    if recorder.wait_for("started", 20) is None:
        sys.exit("no \"started\" within 20 s")
    shortfalls = []
    for segment in range(1, 7):
        time.sleep(0.7)
        recorder.send("pause" if segment < 6 else "stop")
        ended = recorder.wait_for("paused" if segment < 6 else "finish")
        if ended is None:
            sys.exit("no end of a segment")
        durations = ended.get("message", {})
        if segment > 1:
            shortfalls.append(durations.get("screen", 0) - durations.get("mic", 0))
        if segment < 6:
            time.sleep(0.3)
            recorder.send("resume " + request(segment))
            if recorder.wait_for("resumed", 20) is None:
                sys.exit("no \"resumed\" within 20 s")
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name)) if name.endswith((".mp4", ".m4a")) else None
    return shortfalls


def summary(values):
    text = "median %7.1f   min %7.1f   max %7.1f" % (statistics.median(values), min(values), max(values))
    if os.environ.get("BENCH_ALL_VALUES"):
        text += "   [" + " ".join("%.0f" % value for value in values) + "]"
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavrik", default="build/default/tavrik/tavrik")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--servers", default="pulseaudio,pipewire")
    arguments = parser.parse_args()
    tavrik = os.path.abspath(arguments.tavrik)
    for tool in ["Xvfb", "pactl", "pacat", "pulseaudio", "pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon"]:
        if not shutil.which(tool):
            sys.exit("needs " + tool)
    base = Children()
    work = tempfile.mkdtemp(prefix="start-latency-")
    try:
        display = start_xvfb(base)
        tones = {frequency: tone_file(work, frequency, 600) for frequency in (440, 660)}
        for kind in arguments.servers.split(","):
            children = Children()
            runtime = tempfile.mkdtemp(prefix="sound-", dir=work)
            try:
                server = start_sound_server(children, kind, runtime)
                lay_out(server)
                player_env = dict(os.environ, PULSE_SERVER=server)
                for frequency, sink in ((440, "bench_microphone_sink"), (660, "bench_speakers")):
                    children.start(["pacat", "--playback", "--raw", "--format=float32le", "--rate=48000",
                                    "--channels=2", "--latency-msec=250", "--device=" + sink, tones[frequency]],
                                   env=player_env)
                time.sleep(0.5)
                env = dict(os.environ, PULSE_SERVER=server, DISPLAY=display)
                folder = tempfile.mkdtemp(prefix="files-", dir=work)
                first_with, later_with, without, first_level, later_level = [], [], [], [], []
                level_stop, stop_done, resumed_short = [], [], []
                for run in range(arguments.runs):
                    # A fresh process each run: the host starts one for a recording session,
                    # and its first start pays for what a later one finds ready.
                    recorder = Recorder(tavrik, env)
                    first_with.append(start_to_started(recorder, folder, run, True))
                    later_with.append(start_to_started(recorder, folder, run, True))
                    without.append(start_to_started(recorder, folder, run, False))
                    for level in (first_level, later_level):
                        first, stop, done = preview_latencies(recorder)
                        level.append(first)
                        level_stop.append(stop)
                        stop_done.append(done)
                    resumed_short.extend(resumed_segment_shortfalls(recorder, folder, run))
                    recorder.quit()
                print("%s (%d runs each, milliseconds)" % (kind, arguments.runs))
                print("  start -> started, microphone + system audio, first in a process: " + summary(first_with))
                print("  start -> started, microphone + system audio, a later one:        " + summary(later_with))
                print("  start -> started, screen alone:                                  " + summary(without))
                print("  preview -> first VOL line, first in a process:                   " + summary(first_level))
                print("  preview -> first VOL line, a later one:                          " + summary(later_level))
                print("  preview {} -> last VOL line:                                     " + summary(level_stop))
                print("  preview {} -> stop done (answer to the next command):            " + summary(stop_done))
                print("  after a resume, screen minus microphone duration reported:      " + summary(resumed_short))
                sys.stdout.flush()
            finally:
                children.stop_all()
    finally:
        base.stop_all()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
