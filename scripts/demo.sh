#!/usr/bin/env bash
# The main job: starts the recorder, shows its banner and "ready" line, sends a few commands and quits.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=build/default/tavrik/tavrik
printf '%s\n' "hello" "quit" | "$binary"
