#!/usr/bin/env bash
# The main job without a studio at hand. The test studio plays the studio and
# announces itself on DNS-SD; a private PipeWire session (with a loopback-only
# avahi-daemon) and a virtual display with a tray (Xvfb + trayer) play the
# desktop of a user with nothing installed. The tray application is driven
# with the pointer as a person would: a click on its tray icon opens the
# panel, whose banner offers "Install camera", then "Repair microphone"
# (both installed as user services), the studio is found by DNS-SD, and a
# click on Start sends the studio's programme into the camera. A real PipeWire
# client, GStreamer's pipewiresrc, records what a video call sees: a PNG of the
# programme, its frame rate, then a PNG of the slate once the studio drops;
# pw-record records the virtual microphone "Vendaroscope Program Audio" into a
# WAV of what the call hears; and a screenshot shows the panel while sending.
# Everything lands in demo-output/.
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

echo "== a virtual display with a tray"
exec 4< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x700x24 2>"$out/xvfb.err")
pids+=($!)
read -r -t 20 display <&4
export DISPLAY=:$display
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
    >"$out/trayer.log" 2>&1 &
pids+=($!)

echo "== the application, for a user with nothing installed"
echo '{"setupCompleted": true}' >"$out/config/vendaroscope-virtualcam/preferences.json"
started=$(date +%s%N)
XDG_CONFIG_HOME=$out/config build/bin/vendaroscope-virtualcam >"$out/app.log" 2>&1 </dev/null &
pids+=($!)
app_says() { grep -q "$1" "$out/app.log"; }
fail() {
    cat "$out/app.log" >&2
    echo "demo: $1" >&2
    exit 1
}
wait_for 10 app_says "tray available" || fail "no tray icon"
icon_shown() { xwininfo -root -tree | grep -q '("vendaroscope-virtualcam" "vendaroscope-virtualcam")'; }
wait_for 10 icon_shown || fail "the tray icon did not appear"
echo "tray icon shown $((($(date +%s%N) - started) / 1000000)) ms after launch"
click() { xdotool mousemove "$1" "$2" click 1; }
# The icon sits at the right end of the tray, at the top right corner.
click 1012 12
wait_for 5 app_says "window panel at" || fail "the panel did not open"

# The banner offers the remedy of the one problem that matters; click it
# until nothing is left to install.
banner_at() {  # label -> "X Y" of the banner's button showing that label, if any
    grep "^banner $1 at " "$out/app.log" | tail -1 | sed -E 's/.* at ([0-9]+),([0-9]+)$/\1 \2/'
}
installed_since=$(date +%s%N)
wait_for 15 app_says "^banner Install camera at" || fail "no Install camera button"
read -r x y <<<"$(banner_at "Install camera")"
click "$x" "$y"
wait_for 20 app_says "^banner Repair microphone at" || fail "no Repair microphone button"
read -r x y <<<"$(banner_at "Repair microphone")"
click "$x" "$y"
wait_for 20 grep -q "vendaroscope_program_audio" <(pw-cli ls Node 2>/dev/null) ||
    fail "the microphone did not install"
wait_for 20 grep -q 'node.name = "Vendaroscope Program"' <(pw-cli ls Node 2>/dev/null) ||
    fail "the camera did not install"
installed=$((($(date +%s%N) - installed_since) / 1000000))
echo "camera and microphone installed as user services in $installed ms (two clicks):"
ls "$out/session/data/vendaroscope-virtualcam/services" | sed 's/^/  /'

wait_for 20 app_says "Program URL from PCR" || fail "the application did not find the studio"
grep -E "PCR" "$out/app.log" | sed 's/^/  /'

control_at() {  # label -> "X Y" of the start/stop button showing that label, enabled
    wait_for 10 app_says "^control $1 at [0-9]*,[0-9]*$" || fail "no enabled $1 button"
    grep "^control $1 at [0-9]*,[0-9]*$" "$out/app.log" | tail -1 | sed -E 's/.* at ([0-9]+),([0-9]+)$/\1 \2/'
}
probe() { /usr/bin/python3 tools/call-probe/call_probe.py "$@"; }

echo "== a click on Start, with a call already reading the camera"
probe first-picture --timeout 30 >"$out/first-picture.txt" &
first=$!
sleep 1
read -r x y <<<"$(control_at Start)"
clicked=$(date +%s%N)
click "$x" "$y"
wait_for 20 app_says "ffmpeg started" || fail "Start did not start sending"
grep -E "sink connected|program tracks|ffmpeg started" "$out/app.log" | sed 's/^/  /'
wait "$first" || fail "the call never saw the programme"
to_picture=$((($(sed -E 's/.*at=//' "$out/first-picture.txt") - clicked) / 1000000))
echo "Start -> first programme frame at the call: $to_picture ms"
sleep 2
xwd -root -silent | convert xwd:- "$out/panel.png"
echo "the panel while sending: $out/panel.png"

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
peak=$(sox "$out/microphone.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
if awk -v p="$peak" 'BEGIN {exit !(p < 0.3)}'; then
    echo "demo: the microphone is silent (the studio's tone has a peak of 0.5)" >&2
    exit 1
fi
if [ "$clicks" != 0 ]; then
    echo "demo: the microphone clicks while the camera is read" >&2
    exit 1
fi

echo "== how far apart the call gets sound and picture"
# The studio's STAGE_4 flashes white and beeps at the same moment every 2 s.
read -r x y <<<"$(control_at Stop)"
click "$x" "$y"
wait_for 10 app_says "^control Start at" || fail "Stop did not stop sending"
stopped_lines=$(wc -l <"$out/app.log")
curl -s "$api/control/stage?name=STAGE_4" >/dev/null
wait_for 20 app_says "Program URL from PCR « Demo Studio (DS) »: rtsp://.*/STAGE_4" ||
    fail "the application did not follow the studio's new stage"
# Start is locked for a moment after a stop: wait for it to be enabled again.
enabled_start() { tail -n +"$stopped_lines" "$out/app.log" | grep -q "^control Start at [0-9]*,[0-9]*$"; }
wait_for 10 enabled_start || fail "Start stayed disabled"
read -r x y <<<"$(control_at Start)"
click "$x" "$y"
wait_for 20 app_says "ffmpeg started .*STAGE_4" || fail "Start did not send STAGE_4"
sleep 3
offset=$(probe av-offset --seconds 9) || fail "no sync mark reached the call"
echo "$offset (ms; positive: the sound comes after the picture)"

echo "== the studio drops its programme"
curl -s "$api/control/drop?path=STAGE_4" >/dev/null
sleep 3
gst num-buffers=5 ! "$caps" ! videoconvert ! pngenc snapshot=true ! filesink location="$out/slate.png"
echo "camera picture after the drop: $out/slate.png"
grep -v "^banner\|^control" "$out/app.log" | tail -3 | sed 's/^/  /'

median=$(sed -E 's/.*median=([^ ]+).*/\1/' <<<"$offset")
echo "figures: reader ${fps:-?} fps; microphone $level; Start -> first programme frame" \
    "${to_picture} ms; sound after picture ${median} ms" | tee "$out/figures.txt"
