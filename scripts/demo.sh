#!/usr/bin/env bash
# Sets up, builds and starts the driver on its demo: a simulated station on a
# pseudo-terminal and a message-server emulator on a loopback port, with the
# driver's window in between. Once events flow, the server is taken away for a
# while (DEMO_OUTAGE seconds) and started again on the same port, so the spool
# files fill and drain in view. Ctrl-C stops all three; the station's summary
# of acknowledgements is the last thing shown.
#
#   DRVVZT_DEMO_DIR  working directory of the demo (default /tmp/drvvzt-demo)
#   DEMO_RATE        station packets per second (default 1)
#   DEMO_OUTAGE      seconds without the message server (default 20; 0: none)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target drvvzt station_simulator message_server_emulator

demo=${DRVVZT_DEMO_DIR:-/tmp/drvvzt-demo}
rate=${DEMO_RATE:-1}
outage=${DEMO_OUTAGE:-20}
mkdir -p "$demo/spool"
rm -f "$demo/station" "$demo"/{server,station,driver}.out "$demo"/*.fifo

say() { echo "[demo]    $*"; }

# Every program's output reaches the terminal through a reader of its own on a
# FIFO, which keeps a copy in <name>.out and puts the [name] prefix in front.
# The readers ignore Ctrl-C and end when their program closes the FIFO, so the
# last lines a program prints on its way out (the station's summary above all)
# are still shown. After start_prefixed, $! is the program.
start_prefixed() {  # name command...
  local name=$1 fifo=$demo/$1.fifo tag
  shift
  tag=$(printf '%-9s' "[$name]")
  [[ -p $fifo ]] || mkfifo "$fifo"
  (trap '' INT TERM; tee -a "$demo/$name.out" < "$fifo" | sed -u "s/^/$tag /") &
  "$@" > "$fifo" 2>&1 < /dev/null &
}

start_server() {  # port (0: any free one)
  start_prefixed server "$source/build/tools/message_server_emulator" \
    --port "$1" --ping-interval 30
  server_pid=$!
}

stop_pid() {  # pid: TERM, then wait until it is gone
  [[ -n ${1:-} ]] || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

driver_runs() { [[ -n ${driver_pid:-} ]] && kill -0 "$driver_pid" 2>/dev/null; }

spool_files() { find "$demo/spool" -maxdepth 1 -name '*.dd8' | wc -l; }

# wait_for SECONDS COMMAND...: until COMMAND succeeds, the time is up or the
# driver is gone; the status says which.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) && { [[ -z ${driver_pid:-} ]] || driver_runs; } || return 1
    sleep 0.2
  done
}

# pause SECONDS: a sleep that ends early when the driver is gone.
pause() { wait_for "$1" false || true; }

cleanup() {
  trap - INT TERM EXIT
  say "stopping"
  # The driver first, so that it writes its spool files while the others still
  # run; then the station, which prints its acknowledgement summary on the way
  # out; the server last. The readers end by themselves once their program is
  # gone, and the demo waits for them so that nothing is cut off.
  stop_pid "${driver_pid:-}"
  stop_pid "${station_pid:-}"
  stop_pid "${server_pid:-}"
  wait 2>/dev/null || true
  rm -f "$demo"/*.fifo
  say "stopped; the working directory is $demo"
}
trap cleanup INT TERM EXIT

# The message server: picks a free loopback port and prints every message it decodes.
start_server 0
listening_port() {
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/server.out" 2>/dev/null | head -1)
  [[ -n $port ]]
}
wait_for 10 listening_port || { say "the message-server emulator did not start" >&2; exit 1; }

# The station: a pseudo-terminal reachable as $demo/station, one packet a second
# with rising object numbers.
start_prefixed station "$source/build/tools/station_simulator" --pty --link "$demo/station" \
  --count 0 --rate "$rate" --object 0x00A1 --object-step 1 --class 032A
station_pid=$!
wait_for 10 test -e "$demo/station" || { say "the station simulator did not start" >&2; exit 1; }

cat > "$demo/drvvzt.ini" <<INI
[main]
ComPort=COM1
FirstNumber=4
PathForSoob=spool/
Log=1
Attention=00:00:30

[ServerHost]
Address=127.0.0.1
Port=$port

[ComPorts]
COM1=$demo/station
INI

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  say "no display found; the driver runs without its window and reports on standard error."
fi
say "working directory $demo, message server on 127.0.0.1:$port; Ctrl-C stops the demo"
start_prefixed driver env -C "$demo" "$source/build/shell/drvvzt"
driver_pid=$!

# The outage: once events reach the server, the server goes away and comes back
# on the same port; the spool directory fills meanwhile and empties after.
server_has_events() { grep -q mtStationEvent "$demo/server.out"; }
spool_empty() { (($(spool_files) == 0)); }
if ((outage > 0)) && wait_for 120 server_has_events; then
  pause 5
  say "taking the message server away for ${outage} s: events go to $demo/spool/"
  stop_pid "$server_pid"
  server_pid=
  for ((left = outage; left > 0; left -= 5)); do
    pause $((left < 5 ? left : 5))
    driver_runs && say "spool files waiting: $(spool_files)"
  done
  if driver_runs; then
    start_server "$port"
    say "message server back on port $port: the spool drains, oldest file first"
    while driver_runs && ! wait_for 5 spool_empty; do
      say "spool files waiting: $(spool_files)"
    done
    driver_runs && say "spool empty: every event went through; Ctrl-C stops the demo"
  fi
fi
wait "$driver_pid" || true
driver_pid=
