#!/usr/bin/env bash
# Runs a command with a private session bus and a second private bus in place of the system bus,
# so that stand-in services can own system names (logind) without touching the host. No X display,
# no Wayland session and no logind session id are inherited.
set -euo pipefail

conf="$(cd "$(dirname "$0")/../service" && pwd)/bare-session-bus.conf"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
# Starts a bus daemon; leaves its address in ${bus[0]} and remembers its pid.
start_bus() {
    mapfile -t bus < <(dbus-daemon --config-file="$conf" --fork --print-address=1 --print-pid=1)
    pids+=("${bus[1]}")
}

start_bus
export DBUS_SESSION_BUS_ADDRESS=${bus[0]}
start_bus
export DBUS_SYSTEM_BUS_ADDRESS=${bus[0]}
unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE XDG_SESSION_ID
"$@"
