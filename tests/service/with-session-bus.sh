#!/usr/bin/env bash
# Runs a command on a private D-Bus session bus, in a scratch home, so that nothing reaches the
# host's session or keyring. Modes: keyring (the bus has an unlocked GNOME Keyring), bare (the bus
# offers no services, so no Secret Service can start), none (there is no session bus at all).
set -euo pipefail

mode=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/runtime"
mkdir "$scratch/home"
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

case $mode in
keyring)
    dbus-run-session -- bash -c '
        set -e
        printf "\n" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
        for _ in $(seq 100); do   # the daemon claims its name shortly after it starts
            if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | grep -q "boolean true"; then
                exec "$@"
            fi
            sleep 0.1
        done
        echo "with-session-bus.sh: gnome-keyring-daemon did not provide the Secret Service" >&2
        exit 1' bash "$@"
    ;;
bare) dbus-run-session --config-file="$here/bare-session-bus.conf" -- "$@" ;;
none) DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus" "$@" ;;
*)
    echo "usage: with-session-bus.sh keyring|bare|none COMMAND..." >&2
    exit 2
    ;;
esac
