#!/usr/bin/env bash
# Runs a command with a private session bus and a second private bus in place of the system bus,
# so that stand-in services can own system names (logind) without touching the host. No X display,
# no Wayland session and no logind session id are inherited.
set -euo pipefail

conf="$(cd "$(dirname "$0")/../service" && pwd)/bare-session-bus.conf"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# Starts a bus daemon and prints its address; remembers its pid.
start_bus() {
    local lines
    mapfile -t lines < <(dbus-daemon --config-file="$conf" --fork --print-address=1 --print-pid=1)
    pids+=("${lines[1]}")
    BUS_ADDRESS=${lines[0]}
}

start_bus
export DBUS_SESSION_BUS_ADDRESS=$BUS_ADDRESS
start_bus
export DBUS_SYSTEM_BUS_ADDRESS=$BUS_ADDRESS
unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE XDG_SESSION_ID
"$@"
