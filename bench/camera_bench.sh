#!/usr/bin/env bash
# Camera benchmarks, each against a reference measured in the same run:
#  1. the receiver's video reader against a plain memcpy (vsc-bench-receiver);
#  2. latency from hand-over to a PipeWire reader, and the reader's frame
#     interval, against the frame period (vsc-bench-camera-latency);
#  3. CPU per second of programme of ffmpeg + host + camera program, against a
#     plain GStreamer pipeline doing the decoding part of the same job (RTSP ->
#     decode -> scale to 1080p NV12) on the same studio stream, both read
#     by the same kind of reader; and the resident size of our two programs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${SECONDS_PER_RUN:-10}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j 2 >/dev/null

work=$(mktemp -d /tmp/vsc-bench.XXXXXX)
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; wait "${pids[$i]}" 2>/dev/null || true; done
    bash scripts/session.sh stop "$work/session" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

echo "== 1. receiver video reader"
build/bin/vsc-bench-receiver 600

source "$(bash scripts/session.sh start "$work/session")"
build/bin/vendaroscope-camera >"$work/camera.log" 2>&1 &
camera=$!
pids+=($camera)
for _ in $(seq 50); do pw-cli ls Node | grep -q 'node.name = "Vendaroscope Program"' && break; sleep 0.1; done

echo "== 2. camera latency and cadence"
build/bin/vsc-bench-camera-latency "$seconds"

echo "== 3. CPU per second of programme"
/usr/bin/python3 tools/test-studio/test_studio.py --rtsp-port 0 --api-port 0 >"$work/studio.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/studio.out" && break; sleep 0.1; done
rtsp=$(sed -E 's/.*rtsp=([^ ]+).*/\1/' "$work/studio.out")
mkdir -p "$work/config/vendaroscope-virtualcam"
echo "{\"programURL\": \"$rtsp/STAGE_2\", \"setupCompleted\": true, \"resumeSending\": true}" \
    >"$work/config/vendaroscope-virtualcam/preferences.json"
XDG_CONFIG_HOME=$work/config build/bin/vsc-headless >"$work/host.log" 2>&1 </dev/null &
host=$!
pids+=($host)
for _ in $(seq 200); do grep -q "receiving=1" "$work/host.log" && break; sleep 0.1; done
timeout $((seconds + 20)) gst-launch-1.0 -q pipewiresrc target-object="Vendaroscope Program" ! video/x-raw,format=NV12,width=1920,height=1080 ! fakesink &
pids+=($!)
sleep 2
ffmpeg=$(pgrep -P "$host" ffmpeg | head -1)
a0=$(( $(ticks "$ffmpeg") + $(ticks "$host") + $(ticks "$camera") ))
sleep "$seconds"
a1=$(( $(ticks "$ffmpeg") + $(ticks "$host") + $(ticks "$camera") ))
ours=$(awk -v t=$((a1 - a0)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.4f", t / hz / s}')
rss_host=$(awk '/VmRSS/ {print $2}' "/proc/$host/status")
rss_camera=$(awk '/VmRSS/ {print $2}' "/proc/$camera/status")
kill "$host"; wait "$host" 2>/dev/null || true

# GStreamer's pipewiresink crashes now and then as a producer, so the reference
# is its decoding half: the same stream decoded, scaled to 1080p NV12 and
# handed to a sink, in one process.
gst-launch-1.0 -q rtspsrc location="$rtsp/STAGE_2" protocols=tcp latency=0 ! rtph264depay ! h264parse ! avdec_h264 \
    ! videoscale ! videoconvert ! video/x-raw,format=NV12,width=1920,height=1080 ! fakesink sync=false &
reference=$!
pids+=($reference)
sleep 3
b0=$(ticks "$reference")
sleep "$seconds"
b1=$(ticks "$reference")
ref=$(awk -v t=$((b1 - b0)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.4f", t / hz / s}')
echo "ffmpeg + host + camera program: $ours CPU-seconds per second of programme"
echo "GStreamer decode + scale to 1080p NV12 (reference): $ref CPU-seconds per second of programme"
echo "ratio ours / reference: $(awk -v a="$ours" -v b="$ref" 'BEGIN {printf "%.3f", a / b}')"
echo "resident size while sending: host $((rss_host / 1024)) MiB, camera program $((rss_camera / 1024)) MiB"
