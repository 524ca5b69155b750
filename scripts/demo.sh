#!/usr/bin/env bash
# The main job without a studio at hand. The test studio plays the studio and
# announces itself on DNS-SD; a private PipeWire session (with a loopback-only
# avahi-daemon) plays the desktop of a user with nothing installed; the
# headless host (the application's model without a window) installs its
# camera "Vendaroscope Program" and its microphone as user services, finds
# the studio by DNS-SD and, at the press of its start button, sends the
# studio's programme into the camera; and a real
# PipeWire client, GStreamer's pipewiresrc, records what a video call sees:
# a PNG of the programme, its frame rate, then a PNG of the slate once the
# studio drops; and pw-record records the virtual microphone "Vendaroscope
# Program Audio" into a WAV of what the call hears. Everything lands in
# demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "${JOBS:-2}" >/dev/null

out=$root/demo-output
rm -rf "$out"
mkdir -p "$out/config/vendaroscope-virtualcam"
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[$i]}" 2>/dev/null || true
        wait "${pids[$i]}" 2>/dev/null || true
    done
    bash scripts/session.sh stop "$out/session" >/dev/null 2>&1 || true
}
trap cleanup EXIT

wait_for() {  # seconds, command...
    local limit=$1
    shift
    for _ in $(seq 1 $((limit * 10))); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    return 1
}

echo "== desktop session (D-Bus, PipeWire, WirePlumber, avahi-daemon)"
env_file=$(bash scripts/session.sh start "$out/session" --avahi)
# shellcheck disable=SC1090
source "$env_file"
echo "== test studio, announced on DNS-SD"
/usr/bin/python3 tools/test-studio/test_studio.py --rtsp-port 0 --api-port 0 \
    --announce "Demo Studio" --pcr-name "Demo Studio" --pcr-code DS --pcr-sid 1 --pcr-stage STAGE_1 \
    >"$out/studio.out" 2>"$out/studio.err" &
pids+=($!)
wait_for 20 grep -q "test-studio ready" "$out/studio.out"
api=$(sed -E 's/.*api=([^ ]+).*/\1/' "$out/studio.out")
timeout 5 avahi-browse -rpt _vsc-pcr._tcp | grep "^=" | head -1 | sed 's/^/  avahi-browse: /' || true

echo "== the application, for a user with nothing installed"
echo '{"setupCompleted": true}' >"$out/config/vendaroscope-virtualcam/preferences.json"
# Its standard input stands in for the panel's and the settings' buttons.
mkfifo "$out/host.in"
exec 3<>"$out/host.in"
XDG_CONFIG_HOME=$out/config build/bin/vsc-headless >"$out/host.log" 2>&1 <"$out/host.in" &
pids+=($!)
wait_for 10 grep -q "camera-state Not installed" "$out/host.log"
started=$(date +%s%N)
echo install-camera >&3
echo repair-audio >&3
if ! wait_for 20 grep -q "camera-state Installed · v" "$out/host.log" ||
    ! wait_for 20 grep -q "audio-driver Installed · v" "$out/host.log"; then
    cat "$out/host.log" >&2
    echo "demo: the camera or the microphone did not install" >&2
    exit 1
fi
installed=$((($(date +%s%N) - started) / 1000000))
grep -E "^(camera-state|audio-driver) Installed|Camera “|Audio driver" "$out/host.log" | sed 's/^/  /'
echo "camera and microphone installed as user services in $installed ms:"
ls "$out/session/data/vendaroscope-virtualcam/services" | sed 's/^/  /'

if ! wait_for 20 grep -q "— program on air" "$out/host.log"; then
    cat "$out/host.log" >&2
    echo "demo: the application did not find the studio" >&2
    exit 1
fi
grep -E "^pcr |program on air|PCR" "$out/host.log" | sed 's/^/  /'

echo "== the panel's start button"
echo start >&3
wait_for 20 grep -q "receiving=1" "$out/host.log"
grep -E "sink-status|program tracks|ffmpeg started" "$out/host.log" | sed 's/^/  /'

echo "== what a video call sees"
gst() { timeout 20 gst-launch-1.0 -q pipewiresrc target-object="Vendaroscope Program" "$@"; }
caps="video/x-raw,format=NV12,width=1920,height=1080"
gst num-buffers=5 ! "$caps" ! videoconvert ! pngenc snapshot=true ! filesink location="$out/programme.png"
fps=$(timeout 20 gst-launch-1.0 -v pipewiresrc target-object="Vendaroscope Program" num-buffers=150 ! "$caps" \
    ! fpsdisplaysink video-sink=fakesink text-overlay=false sync=false 2>&1 \
    | grep -o "average: [0-9.]*" | tail -1 | cut -d' ' -f2)
echo "camera picture: $out/programme.png (1920x1080 NV12), measured ${fps:-?} fps"

echo "== what a video call hears (while it reads the camera)"
# In a call the camera and the microphone are read together.
timeout 15 gst-launch-1.0 -q pipewiresrc target-object="Vendaroscope Program" ! "$caps" \
    ! fakesink sync=false >/dev/null 2>&1 &
reader=$!
sleep 1
timeout 10 pw-record --target vendaroscope_program_audio_mic --rate 48000 --channels 2 --format f32 \
    "$out/microphone.wav" &
recorder=$!
sleep 6
kill -INT "$recorder" 2>/dev/null || true
wait "$recorder" 2>/dev/null || true
kill "$reader" 2>/dev/null || true
wait "$reader" 2>/dev/null || true
level=$(sox "$out/microphone.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {max=$3} /RMS +amplitude/ {rms=$3} END {printf "peak %.3f (%.1f dBFS), RMS %.3f", max, 20*log(max)/log(10), rms}')
# A steady 1 kHz tone repeats every 48 samples: a jump there is a click.
clicks=$(/usr/bin/python3 - "$out/microphone.wav" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at, left = 12, []
while at + 8 <= len(data):
    size = struct.unpack("<I", data[at + 4:at + 8])[0]
    if data[at:at + 4] == b"data":
        body = data[at + 8:at + 8 + size]
        left = struct.unpack("<%df" % (len(body) // 4), body[:len(body) // 4 * 4])[0::2]
        break
    at += 8 + size
left = left[24000:]  # the link is still being made in the first half second
peak = max((abs(x) for x in left), default=0)
clicks, last = 0, -1000
for i in range(48, len(left)):
    if abs(left[i] - left[i - 48]) > peak / 10:
        if i - last > 48:
            clicks += 1
        last = i
print(clicks)
PY
)
echo "microphone: $out/microphone.wav, $level, $clicks clicks"
if [ "$clicks" != 0 ]; then
    echo "demo: the microphone clicks while the camera is read" >&2
    exit 1
fi

echo "== the studio drops its programme"
curl -s "$api/control/drop?path=STAGE_1" >/dev/null
sleep 3
gst num-buffers=5 ! "$caps" ! videoconvert ! pngenc snapshot=true ! filesink location="$out/slate.png"
echo "camera picture after the drop: $out/slate.png"
grep -v "^stats" "$out/host.log" | tail -3 | sed 's/^/  /'
