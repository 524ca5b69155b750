#!/usr/bin/env bash
# The main job without a studio at hand: the test studio plays the studio, and
# the receiver pulls its programme (STAGE_1) for ten seconds through ffmpeg,
# printing the activity log and the totals.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "${JOBS:-2}" >/dev/null

out=$(mktemp -d /tmp/vsc-demo.XXXXXX)
studio_pid=""
cleanup() {
    if [ -n "$studio_pid" ]; then kill "$studio_pid" 2>/dev/null || true; wait "$studio_pid" 2>/dev/null || true; fi
    rm -rf "$out"
}
trap cleanup EXIT

/usr/bin/python3 tools/test-studio/test_studio.py --rtsp-port 0 --api-port 0 >"$out/studio.out" 2>"$out/studio.err" &
studio_pid=$!
for _ in $(seq 1 100); do
    grep -q "test-studio ready" "$out/studio.out" 2>/dev/null && break
    sleep 0.1
done
ready=$(grep "test-studio ready" "$out/studio.out") || { cat "$out/studio.err"; exit 1; }
rtsp=$(echo "$ready" | sed -E 's/.*rtsp=([^ ]+).*/\1/')
echo "studio: $rtsp/STAGE_1"

build/bin/vsc-receive "$rtsp/STAGE_1" 10 2>/dev/null
