#!/usr/bin/env bash
# Sound benchmarks against references in the same run: the ring's render cost
# against a plain copy (vsc-bench-audio-ring), and underruns and the measured
# delay to the virtual microphone against the ring's target over a long run
# (vsc-bench-audio, 60 s unless SECONDS_PER_RUN says otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j 2 >/dev/null
work=$(mktemp -d /tmp/vsc-audio-bench.XXXXXX)
trap 'bash scripts/session.sh stop "$work/session" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

echo "== render cost"
build/bin/vsc-bench-audio-ring
source "$(bash scripts/session.sh start "$work/session")"
mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
cp resources/pipewire/vendaroscope-program-audio.conf "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/"
bash scripts/session.sh restart-audio "$work/session" >/dev/null
echo "== underruns and delay"
build/bin/vsc-bench-audio "${SECONDS_PER_RUN:-60}"
