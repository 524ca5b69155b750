#!/usr/bin/env bash
# The project's test command: installs what it needs, builds, and runs the unit
# tests (plain, under AddressSanitizer + UndefinedBehaviorSanitizer, and under
# ThreadSanitizer) and the end-to-end tests against the real programs. Every
# service a test needs is started and stopped by the tests themselves.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${JOBS:-2}"
started=$SECONDS
stage_started=$SECONDS
stage() {  # title: ends the stage before with its time
    echo "   ($((SECONDS - stage_started)) s; $((SECONDS - started)) s in all)"
    stage_started=$SECONDS
    echo "== $1"
}

echo "== setup"
bash scripts/setup.sh

# Line tables are all a sanitizer's report or a debugger's backtrace here
# needs, and a fifth quicker to build than full debug information. ccache,
# where installed, keeps the objects of earlier runs on this machine.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # A fresh clone elsewhere still finds its objects: paths under the clone
    # are hashed as relative ones, and the working folder, which ccache
    # hashes for objects with debug information, is left out.
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
configure() {  # dir, optimisation, extra cmake arguments...
    local dir=$1 flags="$2 -g1 -DNDEBUG"
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
        "${launcher[@]}" "$@" >/dev/null
}

stage "build"
configure build -O2
ninja -C build -j "$JOBS"

stage "package"
# The Debian package from the installed layout: its programs answer --help
# from where they are installed, and it names what it needs to run.
rm -f build/vendaroscope-virtualcam_*.deb
(cd build && cpack -G DEB >cpack.log 2>&1) || { tail -20 build/cpack.log >&2; exit 1; }
deb=$(ls build/vendaroscope-virtualcam_*.deb)
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
for program in usr/bin/vsc-headless \
    usr/share/vendaroscope-virtualcam/com.vendaroscope.virtualcam.camera/vendaroscope-camera \
    usr/libexec/vendaroscope-virtualcam/vendaroscope-microphone \
    usr/libexec/vendaroscope-virtualcam/vendaroscope-supervise; do
    "$unpacked/$program" --help >/dev/null
done
test -s "$unpacked/usr/share/vendaroscope-virtualcam/com.vendaroscope.virtualcam.camera/manifest.json"
test -s "$unpacked/usr/share/vendaroscope-virtualcam/pipewire/vendaroscope-program-audio.conf"
dpkg-deb -f "$deb" Depends | grep -q "ffmpeg, pipewire, pipewire-bin, wireplumber, avahi-daemon"
rm -rf "$unpacked"
echo "$deb"

stage "unit tests"
ctest --test-dir build -L unit --output-on-failure -j "$JOBS"

stage "unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -O2 -DVSC_SANITIZE=address -DVSC_BUILD_BENCH=OFF
ninja -C build-asan -j "$JOBS" vsc-unit-tests vsc-ui-tests
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -L unit --output-on-failure -j "$JOBS"

stage "unit tests under ThreadSanitizer"
configure build-tsan -O1 -DVSC_SANITIZE=thread -DVSC_BUILD_BENCH=OFF
ninja -C build-tsan -j "$JOBS" vsc-unit-tests vsc-ui-tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp \
    ctest --test-dir build-tsan -L unit --output-on-failure -j "$JOBS"
# The threaded parts against the real services: the studio browser on
# avahi-daemon, the sound on PipeWire.
ninja -C build-tsan -j "$JOBS" vsc-e2e-tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp \
    ctest --test-dir build-tsan -R '^(StudioBrowserWithAvahi|AudioSystemThreads)' --output-on-failure

stage "fuzz targets, a short run each"
# The long runs are made by hand (see fuzz/CMakeLists.txt); new inputs go to a
# scratch folder, the seeds in fuzz/corpus stay as they are.
configure build-fuzz -O1 -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DVSC_FUZZ=ON \
    -DVSC_BUILD_TESTS=OFF -DVSC_BUILD_BENCH=OFF
fuzzers=(txt_record path_list preferences program_url diagnostics)
ninja -C build-fuzz -j "$JOBS" "${fuzzers[@]/#/fuzz-}"
for f in "${fuzzers[@]}"; do
    scratch=$(mktemp -d)
    status=0
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        build-fuzz/fuzz/fuzz-"$f" -max_total_time="${FUZZ_SECONDS:-8}" -print_final_stats=1 \
        "$scratch" fuzz/corpus/"$f" >"$scratch.log" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
        cat "$scratch.log" >&2
        echo "fuzz-$f found a fault (above)" >&2
        exit 1
    fi
    echo "$f: $(grep -m1 '^stat::number_of_executed_units' "$scratch.log")"
    rm -rf "$scratch" "$scratch.log"
done

# The end-to-end tests run against real services on a shared machine: a test
# that fails is run once more, and both runs are in the log. A fault of ours
# fails both times; a one-off hiccup of the machine (a late audio cycle)
# does not sink the run, but stays visible above.
e2e_runs="--repeat until-pass:2"

stage "end-to-end tests"
ctest --test-dir build -L e2e --output-on-failure $e2e_runs

stage "end-to-end tests under AddressSanitizer + UndefinedBehaviorSanitizer"
# The programs the tests start are sanitized too; their reports go to files,
# since a child's stderr is only shown when its test fails.
ninja -C build-asan -j "$JOBS"
reports=$PWD/build-asan/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
status=0
# A suppressed leak (a library's own, such as fontconfig's cache under the
# slate's text) is not a finding: its tally would only fill the report files.
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$reports/asan \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan \
    ctest --test-dir build-asan -L e2e --output-on-failure $e2e_runs || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    cat "$reports"/* >&2
    echo "sanitizer reports from the end-to-end run (above)" >&2
    status=1
fi
[ "$status" = 0 ] || exit "$status"

stage "all tests passed"
