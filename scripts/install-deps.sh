#!/usr/bin/env bash
# Installs every package the project needs that is not installed yet.
# Debian packages through apt-get (with sudo when not root); npm packages into the project.
set -euo pipefail

debian_packages=(
  # toolchain and test runners
  build-essential cmake ninja-build pkg-config
  # clang with its libFuzzer and sanitizer runtimes, for the fuzz targets
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # command line, JSON, text, queues
  libcli11-dev nlohmann-json3-dev libicu-dev libasio-dev
  # Node.js with its headers, for the Node-API plug-ins
  nodejs
  # media: writer, prober, colour conversion, and the peers the tests compare against
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev libyuv-dev ffmpeg zlib1g-dev
  # X11 capture and listing
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libxcb-composite0-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-image0-dev
  # the preview window (Shape extension) and its drag tests (XTest)
  libxcb-shape0-dev libxcb-xtest0-dev
  xvfb x11-apps x11-utils jq
  # a small EWMH window manager for the window-listing tests
  openbox
  # audio, cameras, power management
  libpulse-dev pulseaudio pulseaudio-utils libv4l-dev libdbus-1-dev
  # the other sound server the sound tests run against: PipeWire with its PulseAudio-compatible
  # server (never pipewire-alsa or pipewire-audio-client-libraries: they would replace PulseAudio)
  pipewire wireplumber pipewire-pulse
  # a private bus for the power-management tests
  dbus-daemon
  # accessibility for glintor, and its tests' stack: at-spi2-core's bus launcher and
  # registry, a GTK 3 test window in Python, pointer moves through XTest
  libatspi2.0-dev at-spi2-core python3-gi gir1.2-gtk-3.0 xdotool
  # iOS devices: usbmuxd's device list and events, lockdown, plists
  libimobiledevice-dev libusbmuxd-dev libplist-dev
)


missing=()
for package in "${debian_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing Debian packages: ${missing[*]}"
  sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm packages: the exact versions pinned in package.json, installed without a lock file.
cd "$(dirname "$0")/.."
if ! node -e '
  const wanted = require("./package.json").dependencies;
  for (const [name, version] of Object.entries(wanted)) {
    if (require("./node_modules/" + name + "/package.json").version !== version) process.exit(1);
  }' >/dev/null 2>&1; then
  echo "Installing npm packages pinned in package.json"
  npm install --no-package-lock --no-audit --no-fund --loglevel=error
fi
