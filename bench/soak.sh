#!/usr/bin/env bash
# Soak: a long stretch of sending as in a long call, with the studio dropping
# its path every few minutes, while a camera reader and a microphone reader
# stay connected. Every SAMPLE seconds the resident size, open descriptors
# and threads of the application (the tray application with APP=tray, else
# its model alone, vsc-headless), the camera program and the microphone
# program are written to soak.csv; at the end the growth per hour of each is
# printed, from a straight-line fit over the samples after the first
# (start-up) one. Not part of the tests: it takes an hour.
#   DURATION (s, default 3600), DROP_EVERY (s, 300), DROP_FOR (s, 15),
#   APP (tray, or headless: the default), SAMPLE (s, 60),
#   OUT (folder for soak.csv, default bench-output),
#   BUILD_DIR (default build; set NO_BUILD=1 to use it as it is, such as a
#   copy of build/bin and build/share that later builds do not touch),
#   HEAPTRACK=1 (APP=tray only: the application runs under heaptrack, whose
#   record goes to OUT; `heaptrack --analyze` tells a leak from a cache)
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${DURATION:-3600}
drop_every=${DROP_EVERY:-300}
drop_for=${DROP_FOR:-15}
sample=${SAMPLE:-60}
out=${OUT:-bench-output}
mkdir -p "$out"
build=${BUILD_DIR:-build}
app=${APP:-headless}
if [ -z "${NO_BUILD:-}" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$build" -j 2 >/dev/null
fi

work=$(mktemp -d /tmp/vsc-soak.XXXXXX)
pids=()
cleanup() {
    # The sleep that holds the host's input open outlives the host, and the
    # waits below would wait for it to run out.
    pkill -P $$ -x sleep 2>/dev/null || true
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; wait "${pids[$i]}" 2>/dev/null || true; done
    bash scripts/session.sh stop "$work/session" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

source "$(bash scripts/session.sh start "$work/session")"
"$build"/bin/vendaroscope-camera >"$work/camera.log" 2>&1 &
camera=$!
pids+=($camera)
"$build"/bin/vendaroscope-microphone "$PWD/resources/pipewire/vendaroscope-program-audio.conf" \
    >"$work/microphone.log" 2>&1 &
microphone=$!
pids+=($microphone)
for _ in $(seq 50); do pw-cli ls Node | grep -q 'node.name = "Vendaroscope Program"' && break; sleep 0.1; done

/usr/bin/python3 tools/test-studio/test_studio.py --rtsp-port 0 --api-port 0 >"$work/studio.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/studio.out" && break; sleep 0.1; done
rtsp=$(sed -E 's/.*rtsp=([^ ]+).*/\1/' "$work/studio.out")
api=$(sed -E 's/.*api=([^ ]+).*/\1/' "$work/studio.out")
mkdir -p "$work/config/vendaroscope-virtualcam"
echo "{\"programURL\": \"$rtsp/STAGE_1\", \"setupCompleted\": true, \"resumeSending\": true}" \
    >"$work/config/vendaroscope-virtualcam/preferences.json"
if [ "$app" = tray ]; then
    # The tray application on a virtual display with a tray, as on a desktop;
    # it resumes sending from its preferences.
    exec {display}< <(Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x700x24 2>/dev/null)
    read -r -u "$display" number
    pids+=($(pgrep -n -x Xvfb))
    export DISPLAY=:$number
    trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
    pids+=($!)
    wrapper=()
    [ -n "${HEAPTRACK:-}" ] && wrapper=(heaptrack -o "$out/heaptrack.tray")
    XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb "${wrapper[@]}" "$build"/bin/vendaroscope-virtualcam \
        >"$work/host.log" 2>&1 </dev/null &
    host=$!
    if [ -n "${HEAPTRACK:-}" ]; then
        # heaptrack's script stays the parent: sample the application itself,
        # and stop it so that heaptrack writes its record.
        wrapped=$host
        for _ in $(seq 100); do host=$(pgrep -n -x vendaroscope-vi || true); [ -n "$host" ] && break; sleep 0.1; done
    fi
else
    # The host's input stays open (a pipe from sleep) so that it runs until ended.
    sleep $((duration + 60)) | XDG_CONFIG_HOME=$work/config "$build"/bin/vsc-headless >"$work/host.log" 2>&1 &
    host=$(pgrep -n -f "$build/bin/vsc-headless" || true)
    for _ in $(seq 50); do [ -n "$host" ] && break; sleep 0.1; host=$(pgrep -n -f "$build/bin/vsc-headless" || true); done
fi
pids+=($host)
for _ in $(seq 200); do grep -q "ffmpeg started" "$work/host.log" && break; sleep 0.1; done

# A call's two readers, for the whole run.
gst-launch-1.0 -q pipewiresrc target-object="Vendaroscope Program" \
    ! video/x-raw,format=NV12,width=1920,height=1080 ! fakesink >/dev/null 2>&1 &
pids+=($!)
pw-record --target vendaroscope_program_audio_mic --rate 48000 --channels 2 --format f32 - \
    >/dev/null 2>&1 &
pids+=($!)

measure() {  # pid -> "rss_kib fds threads"
    local rss fds threads
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$1/status")
    threads=$(awk '/Threads/ {print $2}' "/proc/$1/status")
    fds=$(ls "/proc/$1/fd" | wc -l)
    echo "$rss $fds $threads"
}
csv=$out/soak.csv
echo "seconds,host_rss_kib,host_fds,host_threads,camera_rss_kib,camera_fds,camera_threads,microphone_rss_kib,microphone_fds,microphone_threads" >"$csv"
start=$(date +%s)
next_drop=$drop_every
next_sample=0
drops=0
while :; do
    now=$(( $(date +%s) - start ))
    [ "$now" -ge "$duration" ] && break
    if [ "$now" -ge "$next_sample" ]; then
        for p in "$host" "$camera" "$microphone"; do kill -0 "$p" || { echo "soak: process $p ended" >&2; exit 1; }; done
        echo "$now,$(measure "$host" | tr ' ' ,),$(measure "$camera" | tr ' ' ,),$(measure "$microphone" | tr ' ' ,)" >>"$csv"
        next_sample=$((next_sample + sample))
    fi
    if [ "$now" -ge "$next_drop" ]; then
        curl -s "$api/control/drop?path=STAGE_1" >/dev/null
        sleep "$drop_for"
        curl -s "$api/control/restore?path=STAGE_1" >/dev/null
        drops=$((drops + 1))
        next_drop=$((next_drop + drop_every))
    fi
    sleep 1
done
echo "$now,$(measure "$host" | tr ' ' ,),$(measure "$camera" | tr ' ' ,),$(measure "$microphone" | tr ' ' ,)" >>"$csv"

echo "soak: ${duration} s, ${drops} drops of ${drop_for} s, samples in $csv"
if [ -n "${wrapped:-}" ]; then
    kill "$host"
    wait "$wrapped" 2>/dev/null || true
    ls "$out"/heaptrack.tray.*
fi
# Growth per hour: least-squares slope over the samples after the first.
awk -F, 'NR > 2 {
    n++; t = $1 / 3600; st += t; stt += t * t
    for (i = 2; i <= 10; i++) { s[i] += $i; sx[i] += t * $i }
    if (n == 1) for (i = 2; i <= 10; i++) first[i] = $i
    for (i = 2; i <= 10; i++) last[i] = $i
}
END {
    split("host camera microphone", who, " ")
    d = n * stt - st * st
    for (k = 0; k < 3; k++) {
        r = 2 + 3 * k
        printf "%-10s", who[k + 1]
        for (j = 0; j < 3; j++) {
            i = r + j
            slope = d > 0 ? (n * sx[i] - st * s[i]) / d : 0
            unit = j == 0 ? "KiB" : ""
            name = j == 0 ? "RSS" : (j == 1 ? "fds" : "threads")
            printf "  %s %s%s -> %s%s (%+.1f%s/h)", name, first[i], unit, last[i], unit, slope, unit
        }
        printf "\n"
    }
}' "$csv"
grep -c "ffmpeg started" "$work/host.log" | sed 's/^/ffmpeg starts: /'
