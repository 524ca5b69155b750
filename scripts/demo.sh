#!/usr/bin/env bash
# The main job without a studio at hand. The package is built and installed as
# a user would install it (apt), and the installed application is what runs.
# The test studio plays the studio and announces itself on DNS-SD; a private
# PipeWire session (with a loopback-only avahi-daemon) and a virtual display
# with a tray (Xvfb + trayer) play the desktop of a user with nothing
# installed. The application is driven with the pointer as a person would:
# the welcome assistant of a first launch installs the camera and the
# microphone (as user services), finds the studio by DNS-SD and takes it,
# Done; then a click on the tray icon opens the panel and a click on Start
# sends the studio's programme into the camera. A real PipeWire
# client, GStreamer's pipewiresrc, records what a video call sees: a PNG of the
# programme, its frame rate, then a PNG of the slate once the studio drops;
# pw-record records the virtual microphone "Vendaroscope Program Audio" into a
# WAV of what the call hears; a screenshot shows the panel while sending; and
# one line of figures says what a call gets: frame rate, sound level, the time
# from Start to the programme, and how far apart sound and picture arrive.
# Everything lands in demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "${JOBS:-2}" >/dev/null

echo "== the Debian package, installed as a user installs it"
rm -f build/vendaroscope-virtualcam_*.deb
(cd build && cpack -G DEB >cpack.log 2>&1) || { tail -20 build/cpack.log >&2; exit 1; }
deb=$(ls "$root"/build/vendaroscope-virtualcam_*.deb)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --reinstall "$deb" >/dev/null
app=/usr/bin/vendaroscope-virtualcam
echo "installed $(basename "$deb") from apt, the application is $app"

out=$root/demo-output
rm -rf "$out"
mkdir -p "$out/config"
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
started=$(date +%s%N)
XDG_CONFIG_HOME=$out/config "$app" >"$out/app.log" 2>&1 </dev/null &
app_pid=$!
pids+=("$app_pid")
app_says() { grep -q "$1" "$out/app.log"; }
app_says_since() { tail -n +"$1" "$out/app.log" | grep -q "$2"; }  # line number, pattern
lines_now() { wc -l <"$out/app.log"; }
resident_mib() { awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$app_pid/status"; }
fail() {
    cat "$out/app.log" >&2
    echo "demo: $1" >&2
    exit 1
}
click() { xdotool mousemove "$1" "$2" click 1; }
wait_for 10 app_says "tray available" || fail "no tray"
icon_shown() { xwininfo -root -tree | grep -q '("vendaroscope-virtualcam" "vendaroscope-virtualcam")'; }
wait_for 10 icon_shown || fail "the tray icon did not appear"
echo "tray icon shown $((($(date +%s%N) - started) / 1000000)) ms after launch"

echo "== the welcome assistant, driven with the pointer"
wait_for 10 app_says "^window welcome" || fail "a first launch did not show the assistant"
wait_for 10 app_says "^welcome button Install camera at" || fail "the assistant shows no Install camera"
xwd -root -silent | convert xwd:- "$out/assistant.png"
# Clicks the assistant's enabled button with that label, as reported after
# line $2 of the application's output; $mark is then where the next wait starts.
welcome_click() {  # label, line number
    local pattern="^welcome button $1 at [0-9]*,[0-9]*$"
    wait_for 30 app_says_since "$2" "$pattern" || fail "no enabled \"$1\" in the assistant"
    local at
    at=$(tail -n +"$2" "$out/app.log" | grep "$pattern" | head -1 | sed -E 's/.* at ([0-9]+),([0-9]+)$/\1 \2/')
    mark=$(lines_now)
    read -r x y <<<"$at"
    click "$x" "$y"
    echo "  clicked \"$1\""
}
installed_since=$(date +%s%N)
welcome_click "Install camera" 1
welcome_click "Continue" "$mark"  # enabled once the camera is seen
microphone_page=$mark
welcome_click "Repair microphone" "$microphone_page"
wait_for 20 app_says_since "$mark" "Audio driver: Installed" || fail "the microphone did not install"
welcome_click "Continue" "$microphone_page"
installed=$((($(date +%s%N) - installed_since) / 1000000))
echo "camera and microphone installed as user services in $installed ms:"
ls "$out/session/data/vendaroscope-virtualcam/services" | sed 's/^/  /'
welcome_click "Find my studio" "$mark"
studio_page=$mark
welcome_click "Demo Studio" "$studio_page"
wait_for 20 app_says "Program URL from PCR" || fail "the application did not take the studio"
grep -E "PCR" "$out/app.log" | sed 's/^/  /'
welcome_click "Continue" "$studio_page"
welcome_click "Done" "$mark"
wait_for 5 grep -q '"setupCompleted": true' "$out/config/vendaroscope-virtualcam/preferences.json" ||
    fail "Done did not complete the setup"
echo "setup completed; log-in entry: $(ls "$out/config/autostart" 2>/dev/null || echo none)"

echo "== the tray icon opens the panel"
mark=$(lines_now)
click 1012 12  # the icon sits at the right end of the tray, at the top right corner
wait_for 5 app_says_since "$mark" "window panel at" || fail "the panel did not open"

control_at() {  # label -> "X Y" of the start/stop button showing that label, enabled
    wait_for 10 app_says "^control $1 at [0-9]*,[0-9]*$" || fail "no enabled $1 button"
    grep "^control $1 at [0-9]*,[0-9]*$" "$out/app.log" | tail -1 | sed -E 's/.* at ([0-9]+),([0-9]+)$/\1 \2/'
}
probe() { /usr/bin/python3 tools/call-probe/call_probe.py "$@"; }

echo "== a click on Start, with a call already reading the camera"
wait_for 10 app_says "Camera “Vendaroscope Program” visible to apps" || fail "the camera is not visible"
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
open_rss=$(resident_mib)
click 300 600  # elsewhere on the desktop: the panel closes, as a popover does
sleep 2
closed_rss=$(resident_mib)
echo "application resident while sending: $open_rss MiB with the panel open, $closed_rss MiB closed"
mark=$(wc -l <"$out/app.log")
click 1012 12  # and opens again for the clicks that follow
wait_for 5 app_says_since "$mark" "^control Stop at [0-9]*,[0-9]*$" || fail "the panel did not open again"

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
stopped=$(wc -l <"$out/app.log")
curl -s "$api/control/stage?name=STAGE_4" >/dev/null
wait_for 20 app_says "Program URL from PCR « Demo Studio (DS) »: rtsp://.*/STAGE_4" ||
    fail "the application did not follow the studio's new stage"
# Start is locked for a moment after a stop: wait for it to be enabled again.
wait_for 10 app_says_since "$stopped" "^control Start at [0-9]*,[0-9]*$" || fail "Start stayed disabled"
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
    "${to_picture} ms; sound after picture ${median} ms; application resident ${open_rss} MiB" \
    "(panel open) / ${closed_rss} MiB (closed)" | tee "$out/figures.txt"
