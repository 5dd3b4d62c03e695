#!/usr/bin/env bash
# The desktop agent on a real X server (Xvfb) and a private session bus:
#   no tray at all        -> the window is shown at launch
#   XEmbed tray (trayer)  -> the icon is embedded, its menu opens, the window stays hidden;
#                            a second launch shows the first instance's window and exits 0
#   StatusNotifierWatcher -> the item registers with the (stand-in) watcher
#   no usable display     -> it says that it needs a graphical session and exits 1
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
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
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
  arguments=("$@")
  [ $memory -eq 0 ] || arguments=(--memory "$@")
  status=0
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
wait_for() { # wait_for SECONDS COMMAND...
  local limit=$1; shift
  for _ in $(seq $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
passes_within() { # passes_within SECONDS WHAT COMMAND...: PASS when COMMAND succeeds in time, else FAIL with the log
  local limit=$1 what=$2; shift 2
  wait_for "$limit" "$@" || { cat "$log" 2>/dev/null || true; fail "$what"; }
  echo "PASS: $what"
}
start_agent() { # start_agent LOG: the agent in the background as $first
  log=$work/$1
  "$agent" >"$log" 2>&1 &
  first=$!
  pids+=($first)
}
stop_agent() { kill "$first"; wait "$first" 2>/dev/null || true; }
window_shown() { xdotool search --onlyvisible --name '^Nerova Agent$'; }

if [ $memory -eq 0 ]; then
  # Without a display (none set, or one that does not answer) the desktop agent says what it needs
  # and exits 1, where Qt's platform plugin would abort.
  for display in "" /nonexistent/x11:0; do
    code=0
    said=$(env -u WAYLAND_DISPLAY DISPLAY="$display" QT_QPA_PLATFORM= timeout 20 "$agent" 2>&1) || code=$?
    [ "$code" -eq 1 ] && grep -q "needs a graphical session.*'nerova-agent run'" <<<"$said" ||
      fail "without a usable display ('$display') the agent exited $code: $said"
  done
  echo "PASS: without a display the desktop agent points at 'nerova-agent run' and exits 1"
fi

exec 9>"$work/display"
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
exec 9>&-

if [ $memory -eq 0 ]; then
  start_agent agent1.log
  passes_within 20 "without a tray the window is shown at launch" window_shown
  passes_within 20 "the login item is enabled" grep -q 'Login item is enabled.' "$log"
  stop_agent
  passes_within 1 "the autostart entry is written" test -f "$XDG_CONFIG_HOME/autostart/app.nerova.NerovaAgent.desktop"
fi

trayer --edge top --align right --widthtype request --height 32 --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
# A loaded machine can take its time to map the panel.
wait_for 30 xdotool search --name '^panel$' || wait_for 5 xdotool search --class trayer ||
  fail "trayer did not start: $(cat "$work/trayer.log")"
start_agent agent2.log
embedded() { # the agent's viewable window whose parent is not the root: the icon in the tray
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
passes_within 20 "the icon is embedded in the XEmbed tray" embedded
icon=$(embedded)
! window_shown >/dev/null 2>&1 || fail "with a tray the window is shown at launch"
echo "PASS: with a tray the window stays hidden"

if [ $memory -eq 1 ]; then
  # Settled: the launch sequence is done and the first network context handled.
  wait_for 30 grep -q 'Login item is' "$log" || fail "the launch did not finish"
  sleep 10
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$first/status")
  pss=$(awk '/^Pss:/ {print $2}' "/proc/$first/smaps_rollup")
  echo "bench: desktop agent with tray icon and hidden window: resident $((rss / 1024)) MB ($rss kB)," \
    "proportional $((pss / 1024)) MB (goal: resident under 90 MB)"
  stop_agent
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
passes_within 10 "the tray icon's menu opens on a right click" menu_open
xdotool key Escape

code=0
timeout 20 "$agent" >"$work/second.log" 2>&1 || code=$?
[ "$code" -eq 0 ] || { cat "$work/second.log"; fail "the second launch exited $code"; }
passes_within 10 "a second launch exits 0 and shows the first instance's window" window_shown
kill -0 "$first" || fail "the first instance ended"
stop_agent

"$watcher" >"$work/watcher.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q ready "$work/watcher.log" || fail "the stand-in watcher did not start"
start_agent agent3.log
passes_within 20 "the item registers with the StatusNotifierWatcher" grep -q '^registered ' "$work/watcher.log"
stop_agent
