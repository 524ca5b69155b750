#!/usr/bin/env bash
# A private desktop audio/video session for the end-to-end tests and the demo:
# a D-Bus session bus, PipeWire and WirePlumber running against their own
# XDG_RUNTIME_DIR / XDG_CONFIG_HOME / XDG_STATE_HOME, so nothing leaks in from
# (or out to) a desktop session of the machine. Optionally avahi-daemon on the
# loopback interface only (plus the D-Bus system bus it needs).
#
# Usage:
#   scripts/session.sh start DIR [--avahi] [--owner PID]
#                                               start; prints the path of DIR/env;
#                                               with --owner, the session is
#                                               stopped once process PID is gone
#                                               (a test that crashed leaves
#                                               nothing behind)
#   scripts/session.sh stop DIR                 stop what start started (idempotent)
#   scripts/session.sh restart-audio DIR        restart pipewire + wireplumber, keep the bus
#   scripts/session.sh restart-avahi DIR        (re)start the session's avahi-daemon with
#                                               its configuration
#   scripts/session.sh run DIR [--avahi] -- CMD ARGS...
#                                               start, run CMD with the session's
#                                               environment, always stop, exit with
#                                               CMD's status
#   scripts/session.sh status DIR               what is running (exit 1 if nothing)
#
# Layout of DIR:
#   runtime/  XDG_RUNTIME_DIR (0700): the bus socket, pipewire-0
#   config/   XDG_CONFIG_HOME: drop PipeWire fragments into
#             config/pipewire/pipewire.conf.d/*.conf, WirePlumber ones into
#             config/wireplumber/...
#   state/    XDG_STATE_HOME (WirePlumber's restore state)
#   data/     XDG_DATA_HOME (where the application installs its camera)
#   log/      one log per daemon (appended to across restart-audio)
#   env       `export VAR=...` lines; `source DIR/env` to talk to the session
#   pids      "ROLE PID COMM" per process we started, in start order
#   avahi-daemon.conf   (with --avahi) the loopback-only avahi configuration
#
# Reloading PipeWire configuration: PipeWire reads its config (the system
# defaults in /usr/share/pipewire plus $XDG_CONFIG_HOME/pipewire/pipewire.conf.d)
# only at startup, so after dropping a fragment into the session's config dir
# run `scripts/session.sh restart-audio DIR`. That stops WirePlumber, then
# PipeWire, starts both again on the same bus and the same runtime dir (so the
# env file stays valid) and waits until they are ready. Clients connected to the
# old PipeWire lose their connection and have to reconnect.
#
# Readiness: PipeWire is ready when `pw-cli info 0` answers on our socket.
# WirePlumber is ready when the metadata objects it creates itself are visible
# on the PipeWire graph: "default" (created by its metadata module, the first
# plugin it enables) and "route-settings" (created by the restore-stream Lua
# script, so the Lua script engine is running and the policy scripts are being
# loaded in the same pass). `wpctl status` is not a readiness check: it is a
# plain PipeWire client and answers before WirePlumber has even connected.
#
# Environment knobs: SESSION_TIMEOUT (seconds to wait for each daemon, default
# 10), SESSION_KILL_WAIT (seconds between SIGTERM and SIGKILL, default 3),
# SESSION_WP_READY_METADATA (the metadata names that mean "WirePlumber is
# ready", default "default route-settings"; a WirePlumber config that turns
# off stream restoring has no "route-settings" and must set this to "default"),
# SESSION_AVAHI_INTERFACES (the interfaces avahi-daemon may use, comma
# separated, default "lo"), SESSION_AVAHI_IPV6 (yes to let avahi-daemon use
# IPv6 as well, default no).
#
# avahi-daemon and the system bus are machine-wide (/run/avahi-daemon,
# /run/dbus). We only start them when none is running, record that in DIR/pids,
# and only stop them if we started them. Two sessions with --avahi at the same
# time therefore share the first one's daemon, which goes away when the first
# session stops: run such tests one after another.
set -euo pipefail

PROG=session.sh
TIMEOUT=${SESSION_TIMEOUT:-10}
KILL_WAIT=${SESSION_KILL_WAIT:-3}
WP_READY_METADATA=${SESSION_WP_READY_METADATA:-default route-settings}
AVAHI_INTERFACES=${SESSION_AVAHI_INTERFACES:-lo}
AVAHI_IPV6=${SESSION_AVAHI_IPV6:-no}
SYSTEM_BUS_SOCKET=/run/dbus/system_bus_socket
SYSTEM_BUS_PIDFILE=/run/dbus/pid
AVAHI_RUN_DIR=/run/avahi-daemon

die() {
    echo "$PROG: $*" >&2
    exit 1
}

usage() {
    sed -n '/^# Usage:/,/^# Layout/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

# ---- processes --------------------------------------------------------------

# True if PID is a live (not zombie) process whose command name is COMM.
is_ours() {  # pid comm
    local pid=$1 comm=$2 stat
    [ -r "/proc/$pid/stat" ] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    # /proc/PID/stat: "pid (comm) state ...", comm may contain spaces.
    local name=${stat#*(}
    name=${name%)*}
    local state=${stat##*) }
    state=${state%% *}
    [ "$state" != Z ] && [ "$state" != X ] && [ "$name" = "${comm:0:15}" ]
}

# Starts CMD detached (own session, stdin from /dev/null, output appended to
# LOG) and records "ROLE PID COMM" in DIR/pids. The pid is written by the
# child itself right before exec, so it is the daemon's pid even if setsid
# had to fork.
spawn() {  # role log cmd args...
    local role=$1 log=$2
    shift 2
    local pidfile="$DIR/.pid.$role" pid
    rm -f "$pidfile"
    # shellcheck disable=SC2016 # expanded by the child shell
    setsid bash -c 'echo $$ >"$1"; shift; exec "$@"' _ "$pidfile" "$@" \
        </dev/null >>"$log" 2>&1 &
    local i
    for ((i = 0; i < 100; i++)); do
        [ -s "$pidfile" ] && break
        sleep 0.02
    done
    [ -s "$pidfile" ] || fail "could not start $1" "$log"
    pid=$(cat "$pidfile")
    rm -f "$pidfile"
    local comm
    comm=$(basename "$1")
    echo "$role $pid $comm" >>"$DIR/pids"
    # Wait for the exec so that is_ours() recognises the process from now on.
    for ((i = 0; i < 100; i++)); do
        is_ours "$pid" "$comm" && break
        [ -d "/proc/$pid" ] || break
        sleep 0.02
    done
    is_ours "$pid" "$comm" || fail "$comm exited right after starting" "$log"
    echo "$pid"
}

# SIGTERM, wait up to KILL_WAIT seconds, then SIGKILL and wait again.
terminate() {  # pid comm
    local pid=$1 comm=$2 i
    is_ours "$pid" "$comm" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < KILL_WAIT * 20; i++)); do
        is_ours "$pid" "$comm" || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 40; i++)); do
        is_ours "$pid" "$comm" || return 0
        sleep 0.05
    done
    echo "$PROG: warning: $comm ($pid) survived SIGKILL" >&2
}

# Stops the processes with the given roles (all if none given), newest first,
# and drops them from DIR/pids.
stop_roles() {  # [role...]
    [ -f "$DIR/pids" ] || return 0
    local lines=() line role pid comm want keep=()
    mapfile -t lines <"$DIR/pids"
    local i
    for ((i = ${#lines[@]} - 1; i >= 0; i--)); do
        line=${lines[i]}
        [ -n "$line" ] || continue
        read -r role pid comm <<<"$line"
        if [ "${role:0:1}" = "#" ]; then
            [ $# -gt 0 ] && keep=("$line" "${keep[@]}")
            continue
        fi
        want=1
        if [ $# -gt 0 ]; then
            want=0
            local r
            for r in "$@"; do [ "$r" = "$role" ] && want=1; done
        fi
        if [ "$want" = 1 ]; then
            terminate "$pid" "$comm"
            case $role in
            dbus-system) rm -f "$SYSTEM_BUS_PIDFILE" "$SYSTEM_BUS_SOCKET" ;;
            avahi-daemon)
                # avahi removes its pid file on SIGTERM but not on SIGKILL.
                running_avahi >/dev/null || rm -f "$AVAHI_RUN_DIR/pid"
                ;;
            esac
        else
            keep=("$line" "${keep[@]}")
        fi
    done
    if [ ${#keep[@]} -gt 0 ]; then
        printf '%s\n' "${keep[@]}" >"$DIR/pids"
    else
        rm -f "$DIR/pids"
    fi
}

# Prints the pid of a live avahi-daemon (zombies waiting to be reaped by init
# do not count), fails if there is none.
running_avahi() {
    local pid
    for pid in $(pgrep -x avahi-daemon 2>/dev/null || true); do
        if is_ours "$pid" avahi-daemon; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

pid_of_role() {  # role
    [ -f "$DIR/pids" ] || return 1
    awk -v r="$1" '$1 == r { p = $2 } END { if (p) print p; else exit 1 }' "$DIR/pids"
}

# ---- waiting ----------------------------------------------------------------

now_ms() {
    local t=${EPOCHREALTIME/[.,]/}
    echo $((t / 1000))
}

# Fails with the tail of LOG if ROLE's process died or CHECK did not succeed
# within TIMEOUT seconds.
wait_for() {  # role comm log what check...
    local role=$1 comm=$2 log=$3 what=$4
    shift 4
    local pid deadline
    pid=$(pid_of_role "$role") || pid=
    deadline=$(($(now_ms) + TIMEOUT * 1000))
    while :; do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        if [ -n "$pid" ] && ! is_ours "$pid" "$comm"; then
            fail "$comm exited before $what" "$log"
        fi
        if [ "$(now_ms)" -ge "$deadline" ]; then
            fail "$what: not within ${TIMEOUT}s" "$log"
        fi
        sleep 0.05
    done
}

fail() {  # message log
    # Clean up first: the caller may have closed our stderr already.
    trap '' PIPE
    stop_roles
    rm -f "$DIR/env"
    {
        echo "$PROG: $1"
        if [ -s "$2" ]; then
            echo "---- last lines of $2:"
            tail -n 20 "$2"
            echo "----"
        fi
    } >&2 2>/dev/null || true
    exit 1
}

pipewire_ready() {
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && timeout 2 pw-cli info 0 | grep -q 'type: PipeWire:Interface:Core'
}

wireplumber_ready() {
    local md name
    md=$(timeout 2 pw-cli ls Metadata) || return 1
    for name in $WP_READY_METADATA; do
        grep -q "metadata.name = \"$name\"" <<<"$md" || return 1
    done
}

system_bus_up() {
    [ -S "$SYSTEM_BUS_SOCKET" ] &&
        timeout 2 dbus-send --system --dest=org.freedesktop.DBus --type=method_call \
            --print-reply /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1
}

session_bus_up() {
    [ -S "$XDG_RUNTIME_DIR/bus" ] &&
        timeout 2 dbus-send --session --dest=org.freedesktop.DBus --type=method_call \
            --print-reply /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1
}

avahi_up() {
    [ -S "$AVAHI_RUN_DIR/socket" ] && grep -q 'Server startup complete' "$DIR/log/avahi-daemon.log"
}

# ---- environment ------------------------------------------------------------

set_dir() {  # dir
    [ -n "${1:-}" ] || usage
    DIR=$(realpath -m -- "$1")
}

session_env() {
    export XDG_RUNTIME_DIR="$DIR/runtime"
    export XDG_CONFIG_HOME="$DIR/config"
    export XDG_STATE_HOME="$DIR/state"
    export XDG_DATA_HOME="$DIR/data"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
    # PipeWire prefers PIPEWIRE_RUNTIME_DIR over XDG_RUNTIME_DIR: pin it so an
    # inherited value cannot point our clients at some other daemon.
    export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR"
    unset PIPEWIRE_REMOTE PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME PIPEWIRE_CONFIG_PREFIX \
        WIREPLUMBER_CONFIG_DIR WIREPLUMBER_DATA_DIR PULSE_SERVER PULSE_RUNTIME_PATH
}

write_env() {
    local f="$DIR/env" v
    {
        echo "# source this file to talk to the session in $DIR"
        for v in XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME DBUS_SESSION_BUS_ADDRESS \
            PIPEWIRE_RUNTIME_DIR; do
            printf 'export %s=%q\n' "$v" "${!v}"
        done
        echo "unset PIPEWIRE_REMOTE PULSE_SERVER"
    } >"$f.tmp"
    mv "$f.tmp" "$f"
}

# ---- daemons ----------------------------------------------------------------

start_audio() {
    # A previous pipewire killed hard leaves its socket behind; never mistake
    # that for the new one.
    rm -f "$XDG_RUNTIME_DIR/pipewire-0" "$XDG_RUNTIME_DIR/pipewire-0-manager"
    spawn pipewire "$DIR/log/pipewire.log" pipewire >/dev/null
    wait_for pipewire pipewire "$DIR/log/pipewire.log" "pipewire socket" pipewire_ready
    spawn wireplumber "$DIR/log/wireplumber.log" wireplumber >/dev/null
    wait_for wireplumber wireplumber "$DIR/log/wireplumber.log" "wireplumber ready" wireplumber_ready
}

start_avahi() {
    if ! system_bus_up; then
        # Only a bus that is not answering gets here: its pid file is stale.
        rm -f "$SYSTEM_BUS_PIDFILE"
        mkdir -p /run/dbus
        spawn dbus-system "$DIR/log/dbus-system.log" dbus-daemon --system --nofork >/dev/null
        wait_for dbus-system dbus-daemon "$DIR/log/dbus-system.log" "system bus" system_bus_up
    else
        echo "# system bus already running, not ours" >>"$DIR/pids"
    fi
    local other
    if other=$(running_avahi); then
        echo "# avahi-daemon already running (pid $other), not ours" >>"$DIR/pids"
        return 0
    fi
    # A restart keeps the configuration the session started with.
    [ -f "$DIR/avahi-daemon.conf" ] || cat >"$DIR/avahi-daemon.conf" <<EOF
# Written by scripts/session.sh: mDNS on the loopback interface only (unless
# SESSION_AVAHI_INTERFACES says otherwise).
[server]
use-ipv4=yes
use-ipv6=$AVAHI_IPV6
allow-interfaces=$AVAHI_INTERFACES
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no

[reflector]
enable-reflector=no
EOF
    # A pid file left by an avahi-daemon killed hard would make it refuse to
    # start; none is running (checked above), so it is stale.
    rm -f "$AVAHI_RUN_DIR/pid"
    : >"$DIR/log/avahi-daemon.log"
    spawn avahi-daemon "$DIR/log/avahi-daemon.log" \
        avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$DIR/avahi-daemon.conf" >/dev/null
    wait_for avahi-daemon avahi-daemon "$DIR/log/avahi-daemon.log" "avahi-daemon startup" avahi_up
}

# ---- commands ---------------------------------------------------------------

cmd_start() {  # dir [--avahi]
    set_dir "${1:-}"
    shift
    local avahi=0 owner=""
    while [ $# -gt 0 ]; do
        case $1 in
        --avahi) avahi=1 ;;
        --owner)
            owner=${2:-}
            [[ $owner =~ ^[0-9]+$ ]] || usage
            shift
            ;;
        *) usage ;;
        esac
        shift
    done
    if cmd_status_quiet; then
        die "a session is already running in $DIR (stop it first)"
    fi
    # A socket path must fit in sun_path (108 bytes), and the bus address is
    # written unescaped.
    [ ${#DIR} -le 80 ] || die "DIR is too long for unix socket paths (${#DIR} > 80 chars): $DIR"
    case $DIR in
    *[!A-Za-z0-9._/-]*) die "DIR may only contain letters, digits and . _ / -: $DIR" ;;
    esac

    mkdir -p "$DIR"/{runtime,config,state,log}
    chmod 0700 "$DIR/runtime"
    rm -f "$DIR/pids" "$DIR/env" "$DIR/avahi-daemon.conf"
    session_env

    rm -f "$XDG_RUNTIME_DIR/bus"
    spawn dbus-session "$DIR/log/dbus-session.log" \
        dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" >/dev/null
    wait_for dbus-session dbus-daemon "$DIR/log/dbus-session.log" "session bus" session_bus_up

    start_audio
    if [ "$avahi" = 1 ]; then
        start_avahi
    fi
    write_env
    if [ -n "$owner" ]; then
        # Detached, and holding none of our caller's pipes open.
        setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; bash "$2" stop "$3"' \
            session-owner "$owner" "$0" "$DIR" </dev/null >/dev/null 2>&1 &
    fi
    echo "$DIR/env"
}

# The application's user services run under supervisors of their own (where
# no systemd user manager runs, as here); each holds a lock in the session's
# runtime folder with its pid in it. Ending a supervisor ends its program.
stop_user_services() {
    local lock pid i
    for lock in "$DIR"/runtime/vendaroscope-virtualcam/*.lock; do
        [ -f "$lock" ] || continue
        pid=$(head -c 32 "$lock" | tr -dc 0-9)
        [ -n "$pid" ] && is_ours "$pid" vendaroscope-supervise || continue
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 50; i++)); do
            is_ours "$pid" vendaroscope-supervise || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
}

cmd_stop() {  # dir
    set_dir "${1:-}"
    [ -d "$DIR" ] || return 0
    stop_user_services
    stop_roles
    rm -f "$DIR/env"
}

cmd_restart_audio() {  # dir
    set_dir "${1:-}"
    [ -f "$DIR/env" ] || die "no session in $DIR"
    pid_of_role dbus-session >/dev/null || die "no session bus recorded in $DIR/pids"
    session_env
    stop_roles wireplumber pipewire
    start_audio
}

cmd_restart_avahi() {  # dir
    set_dir "${1:-}"
    [ -f "$DIR/env" ] || die "no session in $DIR"
    [ -f "$DIR/avahi-daemon.conf" ] || die "the session in $DIR has no avahi-daemon"
    stop_roles avahi-daemon
    start_avahi
}

cmd_status_quiet() {
    [ -f "$DIR/pids" ] || return 1
    local role pid comm any=1
    while read -r role pid comm; do
        case $role in '' | '#'*) continue ;; esac
        if is_ours "$pid" "$comm"; then any=0; fi
    done <"$DIR/pids"
    return $any
}

cmd_status() {  # dir
    set_dir "${1:-}"
    [ -f "$DIR/pids" ] || { echo "no session in $DIR"; return 1; }
    local role pid comm
    while read -r role pid comm; do
        case $role in '' | '#'*) continue ;; esac
        if is_ours "$pid" "$comm"; then
            echo "$role $pid running"
        else
            echo "$role $pid gone"
        fi
    done <"$DIR/pids"
    cmd_status_quiet
}

cmd_run() {  # dir [--avahi] -- cmd args...
    local dir=${1:-}
    [ -n "$dir" ] || usage
    shift
    local opts=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        opts+=("$1")
        shift
    done
    [ "${1:-}" = -- ] || usage
    shift
    [ $# -gt 0 ] || usage

    trap 'cmd_stop "$dir"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    local envfile
    envfile=$(cmd_start "$dir" "${opts[@]}")
    # shellcheck disable=SC1090
    source "$envfile"

    # The command runs in the background so that a SIGTERM/SIGINT sent to this
    # script is acted on at once (bash defers traps while a foreground child
    # runs): it is passed on to the command as SIGTERM (asynchronous commands
    # ignore SIGINT), a second one as SIGKILL. The command keeps our stdin.
    RUN_CHILD=
    RUN_SIGNAL=0
    trap 'run_forward 130' INT
    trap 'run_forward 143' TERM
    trap 'run_forward 129' HUP
    "$@" <&0 &
    RUN_CHILD=$!
    local rc
    while :; do
        rc=0
        wait "$RUN_CHILD" || rc=$?
        # wait returns early when a trapped signal arrives; go on waiting
        # until the command has really gone.
        kill -0 "$RUN_CHILD" 2>/dev/null || break
    done
    if [ "$RUN_SIGNAL" != 0 ]; then
        rc=$RUN_SIGNAL
    fi
    exit "$rc"
}

run_forward() {  # exit status to report
    if [ -z "${RUN_CHILD:-}" ]; then
        exit "$1"
    fi
    if [ "$RUN_SIGNAL" = 0 ]; then
        RUN_SIGNAL=$1
        kill -TERM "$RUN_CHILD" 2>/dev/null || true
    else
        kill -KILL "$RUN_CHILD" 2>/dev/null || true
    fi
}

case ${1:-} in
start) shift; cmd_start "$@" ;;
stop) shift; cmd_stop "$@" ;;
restart-audio) shift; cmd_restart_audio "$@" ;;
restart-avahi) shift; cmd_restart_avahi "$@" ;;
run) shift; cmd_run "$@" ;;
status) shift; cmd_status "$@" ;;
*) usage ;;
esac
