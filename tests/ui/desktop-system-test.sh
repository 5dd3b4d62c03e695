#!/usr/bin/env bash
# The desktop agent on a real X server (Xvfb) and a private session bus:
#   no tray at all        -> the window is shown at launch
#   XEmbed tray (trayer)  -> the icon is embedded, its menu opens, the window stays hidden;
#                            a second launch shows the first instance's window and exits 0
#   StatusNotifierWatcher -> the item registers with the (stand-in) watcher
# Usage: desktop-system-test.sh NEROVA_AGENT STAND_IN_WATCHER
#        desktop-system-test.sh --memory NEROVA_AGENT   (the benchmark: resident memory of the agent
#                                                        with its tray icon and hidden window)
set -euo pipefail
memory=0
if [ "${1:-}" = "--memory" ]; then
  memory=1
  shift
fi
agent=${1:?agent binary}
watcher=${2:-}
for tool in Xvfb trayer xdotool xwininfo xprop dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${NEROVA_DESKTOP_TEST_WORK:-}" ]; then
  # A home of its own, then a private session bus without activatable services (so no keyring
  # daemon starts): settings, autostart entry and data never touch the user's.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export NEROVA_DESKTOP_TEST_WORK=$work HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    XDG_CONFIG_DIRS=$work/xdg XDG_RUNTIME_DIR=$work/runtime
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  status=0
  arguments=("$@")
  [ $memory -eq 0 ] || arguments=(--memory "$@")
  dbus-run-session --config-file="$here/../service/bare-session-bus.conf" -- "$0" "${arguments[@]}" || status=$?
  exit $status
fi
work=$NEROVA_DESKTOP_TEST_WORK
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

mkdir -p "$XDG_CONFIG_HOME/Nerova"
# The public address is looked up on loopback only (nothing listens there).
printf '[General]\npublicIpEndpoint=http://127.0.0.1:9/\n' >"$XDG_CONFIG_HOME/Nerova/NerovaAgent.conf"
export QT_QPA_PLATFORM=xcb

fail() { echo "FAIL: $*"; exit 1; }
start_x() {
  exec 9>"$work/display"
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$work/display")
  exec 9>&-
}
window_shown() { xdotool search --onlyvisible --name '^Nerova Agent$' >/dev/null 2>&1; }
wait_for() { # wait_for SECONDS COMMAND...
  local limit=$1; shift
  for _ in $(seq $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
stop_agent() { kill "$1"; wait "$1" 2>/dev/null || true; }

start_x
if [ $memory -eq 0 ]; then
# 1. No tray: the window is shown at launch.
"$agent" >"$work/agent1.log" 2>&1 &
first=$!
pids+=($first)
wait_for 20 window_shown || { cat "$work/agent1.log"; fail "no tray: the window is not shown"; }
echo "PASS: without a tray the window is shown at launch"
wait_for 20 grep -q 'Login item is enabled.' "$work/agent1.log" || { cat "$work/agent1.log"; fail "no login item"; }
stop_agent "$first"
[ -f "$XDG_CONFIG_HOME/autostart/app.nerova.NerovaAgent.desktop" ] || fail "no autostart entry written"
echo "PASS: the autostart entry is written"
fi

# 2. XEmbed tray: the icon is embedded in trayer and its menu opens; the window stays hidden.
trayer --edge top --align right --widthtype request --height 32 --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 xdotool search --name '^panel$' || wait_for 5 xdotool search --class trayer || fail "trayer did not start"
"$agent" >"$work/agent2.log" 2>&1 &
first=$!
pids+=($first)
embedded() {
  local root parent
  root=$(xwininfo -root | awk '/Window id:/ {print $4}')
  for window in $(xdotool search --pid "$first" 2>/dev/null); do
    parent=$(xwininfo -tree -id "$window" | awk '/Parent window id:/ {print $4}')
    if [ -n "$parent" ] && [ "$parent" != "$root" ] && xwininfo -id "$window" | grep -q 'IsViewable'; then
      echo "$window"
      return 0
    fi
  done
  return 1
}
wait_for 20 embedded || { cat "$work/agent2.log"; fail "the tray icon is not embedded"; }
icon=$(embedded)
echo "PASS: the icon is embedded in the XEmbed tray (window $icon)"
! window_shown || fail "with a tray the window is shown at launch"
echo "PASS: with a tray the window stays hidden"

if [ $memory -eq 1 ]; then
  # Settled: the launch sequence is done and the first network context handled.
  wait_for 30 grep -q 'Login item is' "$work/agent2.log" || fail "the launch did not finish"
  sleep 10
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$first/status")
  pss=$(awk '/^Pss:/ {print $2}' "/proc/$first/smaps_rollup")
  echo "bench: desktop agent with tray icon and hidden window: resident $((rss / 1024)) MB ($rss kB)," \
    "proportional $((pss / 1024)) MB (goal: resident under 90 MB)"
  stop_agent "$first"
  [ "$rss" -lt $((90 * 1024)) ] || fail "resident memory $rss kB is not under 90 MB"
  exit 0
fi

menu_open() { # a mapped pop-up (override-redirect) window of the agent besides the icon
  for window in $(xdotool search --onlyvisible --pid "$first" 2>/dev/null); do
    [ "$window" != "$icon" ] || continue
    xwininfo -id "$window" | grep -q 'Override Redirect State: yes' && return 0
  done
  return 1
}
xdotool mousemove --window "$icon" 8 8 click 3
wait_for 10 menu_open || fail "the tray menu does not open"
echo "PASS: the tray icon's menu opens"
xdotool key Escape

# 3. A second launch shows the running agent's window and exits 0.
set +e
timeout 20 "$agent" >"$work/second.log" 2>&1
code=$?
set -e
[ "$code" -eq 0 ] || { cat "$work/second.log"; fail "the second launch exited $code"; }
wait_for 10 window_shown || fail "the second launch did not show the first one's window"
kill -0 "$first" || fail "the first instance ended"
echo "PASS: a second launch shows the first instance's window and exits 0"
stop_agent "$first"

# 4. StatusNotifierItem: with a watcher on the bus the item registers there.
"$watcher" >"$work/watcher.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q ready "$work/watcher.log" || fail "the stand-in watcher did not start"
"$agent" >"$work/agent3.log" 2>&1 &
first=$!
pids+=($first)
wait_for 20 grep -q '^registered ' "$work/watcher.log" || { cat "$work/agent3.log"; fail "no item registered"; }
echo "PASS: the item registers with the StatusNotifierWatcher ($(grep '^registered ' "$work/watcher.log" | head -1))"
stop_agent "$first"
