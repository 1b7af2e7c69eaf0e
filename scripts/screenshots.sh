#!/usr/bin/env bash
# Takes screenshots of the driver's window on a real X desktop: the demo setup
# (scripts/demo.sh) under Xvfb with the openbox window manager and the
# trayer notification area. Saves both pages, the close-code dialog with
# three digits typed and the message box after it was cancelled, each of the
# whole screen (to see the frames and the centring) and of the window alone.
#
#   SCREENSHOT_DIR   where the pictures go (default build/screenshots)
#   SCREENSHOT_SIZE  screen size (default 1024x768)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
out=${SCREENSHOT_DIR:-$source/build/screenshots}
size=${SCREENSHOT_SIZE:-1024x768}

# Only this script needs a desktop; the build and the tests do not.
packages=(xvfb openbox trayer xdotool imagemagick x11-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "screenshots: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

mkdir -p "$out"
display=:${SCREENSHOT_DISPLAY_NUMBER:-77}
export DISPLAY=$display
unset WAYLAND_DISPLAY
export DRVVZT_DEMO_DIR=${DRVVZT_DEMO_DIR:-$(mktemp -d /tmp/drvvzt-shots.XXXXXX)}

pids=()
cleanup() {
  trap - INT TERM EXIT
  # The demo first: it stops the driver and its two helpers in order.
  [[ -n ${demo_pid:-} ]] && kill -TERM "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup INT TERM EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "screenshots: gave up waiting for: $*" >&2
  return 1
}

Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp &
pids+=($!)
wait_for 10 xdpyinfo
openbox &
pids+=($!)
wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window'
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --tint 0x303030 --transparent true --alpha 0 &
pids+=($!)
wait_for 10 xdotool search --class trayer

scripts/demo.sh > "$out/demo.log" 2>&1 &
demo_pid=$!
wait_for 300 xdotool search --name '^Драйвер VZT$'
window=$(xdotool search --name '^Драйвер VZT$' | head -1)
# The server link logs its registration, the station indicator turns green.
wait_for 30 grep -q 'register' "$out/demo.log" || true
sleep 3

shoot() {
  import -window root "$out/$1-screen.png"
  import -window "$2" "$out/$1.png"
  echo "screenshots: $out/$1.png"
}

# The widgets' places in the window (see shell/main_window.cpp).
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
settings_button=(120 89)
start_stop_button=(199 175)

shoot status "$window"

click "${settings_button[@]}"
sleep 1
shoot settings "$window"

click "${start_stop_button[@]}"
wait_for 10 xdotool search --name '^Закрытый доступ$'
dialog=$(xdotool search --name '^Закрытый доступ$' | head -1)
xdotool type --window "$dialog" --delay 50 123
sleep 1
shoot close-code "$dialog"

xdotool key Escape
wait_for 10 xdotool search --name '^advsm$'
box=$(xdotool search --name '^advsm$' | head -1)
sleep 1
shoot message-box "$box"
xdotool key Return
sleep 1
