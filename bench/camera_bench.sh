#!/usr/bin/env bash
# Camera benchmarks, each against a reference measured in the same run:
#  1. the receiver's video reader against a plain memcpy (vsc-bench-receiver);
#  2. latency from hand-over to a PipeWire reader, and the reader's frame
#     interval, against the frame period (vsc-bench-camera-latency);
#  3. paired runs on the same studio stream (720p30 H.264 -> 1080p30 NV12
#     camera, read by a pipewiresrc reader), each pair measuring
#       ours:   ffmpeg + host + camera program, with the picture copies the
#               two programs count themselves, and their resident sizes;
#       anchor: a hand-built GStreamer pipeline doing the whole job into
#               PipeWire (rtspsrc ! decodebin ! videoconvert ! videoscale !
#               NV12 1080p ! videorate 30/1 ! pipewiresink as a Video/Source);
#     and the CPU ratio ours / anchor of every pair;
#  4. the camera program's resident size while `pw-v4l2 ffmpeg` reads it;
#  5. the copies the camera program makes while it shows its slate.
# Knobs: SECONDS_PER_RUN (window after warm-up, default 30), RUNS (pairs,
# default 3), WARMUP (seconds, default 5), BIN (the programs to measure,
# default build/bin; programs without copy counters report none).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SECONDS_PER_RUN:-30}
runs=${RUNS:-3}
warmup=${WARMUP:-5}
if [ -z "${BIN:-}" ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C build -j 2 >/dev/null
fi
bin=${BIN:-build/bin}

work=$(mktemp -d /tmp/vsc-bench.XXXXXX)
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; wait "${pids[$i]}" 2>/dev/null || true; done
    bash scripts/session.sh stop "$work/session" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss() { awk '/VmRSS/ {print int($2 / 1024)}' "/proc/$1/status" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
cpu() { awk -v t="$1" -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.4f", t / hz / s}'; }
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
# The value of key $2 in the last "copies" line of file $1 (empty when none).
copies() { { grep '^copies \|\] copies ' "$1" 2>/dev/null || true; } | tail -1 | tr ' ' '\n' | sed -n "s/^$2=//p"; }
# counter, newer log, older log -> how much the counter rose between them
d() { echo $(($(copies "$2" "$1") - $(copies "$3" "$1"))); }

echo "== 1. receiver video reader"
"$bin"/vsc-bench-receiver 600

source "$(bash scripts/session.sh start "$work/session")"
"$bin"/vendaroscope-camera >"$work/camera.log" 2>&1 &
camera=$!
pids+=($camera)
for _ in $(seq 50); do pw-cli ls Node | grep -q 'node.name = "Vendaroscope Program"' && break; sleep 0.1; done

echo "== 2. camera latency and cadence"
"$bin"/vsc-bench-camera-latency "$seconds"

/usr/bin/python3 tools/test-studio/test_studio.py --rtsp-port 0 --api-port 0 >"$work/studio.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/studio.out" && break; sleep 0.1; done
rtsp=$(sed -E 's/.*rtsp=([^ ]+).*/\1/' "$work/studio.out")
mkdir -p "$work/config/vendaroscope-virtualcam"
echo "{\"programURL\": \"$rtsp/STAGE_2\", \"setupCompleted\": true, \"resumeSending\": true}" \
    >"$work/config/vendaroscope-virtualcam/preferences.json"
reader() {  # $1: target object; the reader runs until killed
    gst-launch-1.0 -q pipewiresrc target-object="$1" \
        ! video/x-raw,format=NV12,width=1920,height=1080 ! fakesink >/dev/null 2>&1 &
    echo $!
}
# Our host with ffmpeg running and the camera read: $host, $ffmpeg.
start_ours() {
    XDG_CONFIG_HOME=$work/config "$bin"/vsc-headless >"$work/host.log" 2>&1 </dev/null &
    host=$!
    pids+=($host)
    for _ in $(seq 200); do grep -q "receiving=1" "$work/host.log" && break; sleep 0.1; done
    ffmpeg=$(pgrep -P "$host" ffmpeg | head -1)
}

echo "== 3. CPU per second of programme, $runs paired runs of $seconds s after $warmup s"
total_ours=0 total_anchor=0
for run in $(seq "$runs"); do
    start_ours
    r=$(reader "Vendaroscope Program")
    pids+=($r)
    sleep "$warmup"
    # Programs that count their copies say so once a second; older ones would
    # end on SIGUSR1.
    counted=$(grep -c '^copies ' "$work/host.log" || true)
    [ "$counted" -gt 0 ] && kill -USR1 "$camera"
    sleep 1.2  # the host reports its counts once a second
    cp "$work/host.log" "$work/host0.log"
    cp "$work/camera.log" "$work/camera0.log"
    f0=$(ticks "$ffmpeg") h0=$(ticks "$host") c0=$(ticks "$camera")
    sleep "$seconds"
    f1=$(ticks "$ffmpeg") h1=$(ticks "$host") c1=$(ticks "$camera")
    [ "$counted" -gt 0 ] && kill -USR1 "$camera"
    rss_host=$(rss "$host") rss_camera=$(rss "$camera")
    sleep 1.2
    stop "$r"
    stop "$host"
    ours_f=$(cpu $((f1 - f0))) ours_h=$(cpu $((h1 - h0))) ours_c=$(cpu $((c1 - c0)))
    ours=$(cpu $((f1 - f0 + h1 - h0 + c1 - c0)))

    # The anchor. pipewiresink crashes when a reader connects the moment its
    # node appears, hence --no-fault and a reader that joins 0.5 s later.
    gst-launch-1.0 -q --no-fault rtspsrc location="$rtsp/STAGE_2" protocols=tcp latency=0 \
        ! decodebin ! videoconvert ! videoscale \
        ! video/x-raw,format=NV12,width=1920,height=1080 ! videorate ! video/x-raw,framerate=30/1 \
        ! pipewiresink mode=provide \
        stream-properties="properties,media.class=Video/Source,node.name=vsc-bench-anchor,node.description=vsc-bench-anchor" \
        >"$work/anchor.log" 2>&1 &
    anchor=$!
    pids+=($anchor)
    for _ in $(seq 100); do pw-cli ls Node | grep -q 'node.name = "vsc-bench-anchor"' && break; sleep 0.1; done
    sleep 0.5
    r=$(reader vsc-bench-anchor)
    pids+=($r)
    sleep "$warmup"
    a0=$(ticks "$anchor")
    sleep "$seconds"
    a1=$(ticks "$anchor")
    rss_anchor=$(rss "$anchor")
    stop "$r"
    stop "$anchor"
    ref=$(cpu $((a1 - a0)))

    echo "run $run: ours $ours CPU-s/s (ffmpeg $ours_f, host $ours_h, camera program $ours_c)," \
        "anchor $ref; ratio $(awk -v a="$ours" -v b="$ref" 'BEGIN {printf "%.3f", a / b}')"
    echo "       resident: host $rss_host MiB, camera program $rss_camera MiB, anchor $rss_anchor MiB"
    total_ours=$(awk -v a="$total_ours" -v b="$ours" 'BEGIN {print a + b}')
    total_anchor=$(awk -v a="$total_anchor" -v b="$ref" 'BEGIN {print a + b}')

    frames0=$(copies "$work/host0.log" framesRead) frames1=$(copies "$work/host.log" framesRead)
    if [ -n "$frames0" ] && [ -n "$frames1" ]; then
        frames=$((frames1 - frames0))
        host=$(($(d pipeReads "$work/host.log" "$work/host0.log") + $(d pixelBufferCopies "$work/host.log" "$work/host0.log") + $(d linkCopies "$work/host.log" "$work/host0.log")))
        new=$(d sourceNew "$work/camera.log" "$work/camera0.log")
        repeated=$(d sourceRepeated "$work/camera.log" "$work/camera0.log")
        newCopies=$(d sourceNewCopies "$work/camera.log" "$work/camera0.log")
        repeatedCopies=$(d sourceRepeatedCopies "$work/camera.log" "$work/camera0.log")
        echo "       copies: $frames frames read, host $host" \
            "(pipe $(d pipeReads "$work/host.log" "$work/host0.log") with $(d chromaInterleaves "$work/host.log" "$work/host0.log") chroma interleaves of a third of a picture, pixel buffer $(d pixelBufferCopies "$work/host.log" "$work/host0.log"), link $(d linkCopies "$work/host.log" "$work/host0.log"));" \
            "camera program: $new new pictures, $newCopies copies; $repeated repeated, $repeatedCopies copies;" \
            "$(d sourceSkipped "$work/camera.log" "$work/camera0.log") ticks skipped with every buffer at the reader"
        awk -v h="$host" -v f="$frames" -v n="$new" -v nc="$newCopies" -v r="$repeated" -v rc="$repeatedCopies" 'BEGIN {
            printf "       copies per new frame %.2f (host %.2f + camera program %.2f), per repeated picture %.2f\n",
                h / (f ? f : 1) + nc / (n ? n : 1), h / (f ? f : 1), nc / (n ? n : 1), rc / (r ? r : 1) }'
    else
        echo "       copies: not counted by these programs"
    fi
done
echo "mean over $runs pairs: ours $(awk -v a="$total_ours" -v r="$runs" 'BEGIN {printf "%.4f", a / r}')," \
    "anchor $(awk -v a="$total_anchor" -v r="$runs" 'BEGIN {printf "%.4f", a / r}'), ratio" \
    "$(awk -v a="$total_ours" -v b="$total_anchor" 'BEGIN {printf "%.3f", a / b}')"

echo "== 4. camera program resident size with pw-v4l2 ffmpeg reading"
start_ours
pw-v4l2 ffmpeg -hide_banner -loglevel error -f v4l2 -i /dev/video0 -f null \
    -progress "$work/v4l2.progress" - >"$work/v4l2.log" 2>&1 </dev/null &
v4l2=$!
pids+=($v4l2)
sleep $((warmup + 5))
v4l2_frames() { { grep '^frame=' "$work/v4l2.progress" || echo frame=0; } | tail -1 | cut -d= -f2; }
n0=$(v4l2_frames)
sleep 20  # progress comes every 0.5 s: within 0.75 frames/s
n1=$(v4l2_frames)
echo "camera program $(rss "$camera") MiB, host $(rss "$host") MiB while pw-v4l2 ffmpeg reads" \
    "$(awk -v a="$n0" -v b="$n1" 'BEGIN {printf "%.1f", (b - a) / 20}') frames/s" \
    "($(grep -c . "$work/v4l2.log" || true) lines of ffmpeg complaints)"
sed 's/^/  ffmpeg: /' "$work/v4l2.log" | head -3
stop "$v4l2"
stop "$host"

echo "== 5. copies while the studio is away and the camera shows its slate"
api=$(sed -E 's/.*api=([^ ]+).*/\1/' "$work/studio.out")
start_ours
r=$(reader "Vendaroscope Program")
pids+=($r)
sleep "$warmup"
curl -s "$api/control/drop?path=STAGE_2" >/dev/null
sleep 3  # the slate takes over once the programme has been gone a moment
kill -USR1 "$camera"
sleep 0.5
cp "$work/camera.log" "$work/camera0.log"
sleep 10
kill -USR1 "$camera"
sleep 0.5
echo "over 10 s of slate: $(d sourceNew "$work/camera.log" "$work/camera0.log") new pictures" \
    "($(d sourceNewCopies "$work/camera.log" "$work/camera0.log") copies)," \
    "$(d sourceRepeated "$work/camera.log" "$work/camera0.log") repeated" \
    "($(d sourceRepeatedCopies "$work/camera.log" "$work/camera0.log") copies)"
curl -s "$api/control/restore?path=STAGE_2" >/dev/null
stop "$r"
stop "$host"
