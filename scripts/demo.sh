#!/usr/bin/env bash
# Sets up, builds and starts the driver on its demo: a simulated station on a
# pseudo-terminal and a message-server emulator on a loopback port, with the
# driver's window in between. Ctrl-C stops all three.
#
#   DRVVZT_DEMO_DIR  working directory of the demo (default /tmp/drvvzt-demo)
#   DEMO_RATE        station packets per second (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target drvvzt station_simulator message_server_emulator

demo=${DRVVZT_DEMO_DIR:-/tmp/drvvzt-demo}
rate=${DEMO_RATE:-1}
mkdir -p "$demo/spool"
rm -f "$demo/station" "$demo/server.out"

pids=()
cleanup() {
  trap - INT TERM EXIT
  echo "demo: stopping"
  # The driver first, so that it can finish its spool files while the others still run.
  [[ -n ${driver_pid:-} ]] && kill -TERM "$driver_pid" 2>/dev/null && wait "$driver_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "demo: stopped; the working directory is $demo"
}
trap cleanup INT TERM EXIT

# The message server: picks a free loopback port and prints every message it decodes.
"$source/build/tools/message_server_emulator" --port 0 --ping-interval 30 \
  > "$demo/server.out" 2>&1 < /dev/null &
pids+=($!)
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/server.out")
  [[ -n $port ]] && break
  sleep 0.05
done
[[ -n $port ]] || { echo "demo: the message-server emulator did not start" >&2; exit 1; }
tail -n +1 -f "$demo/server.out" | sed -u 's/^/[server]  /' &
pids+=($!)

# The station: a pseudo-terminal reachable as $demo/station, one packet a second
# with rising object numbers.
"$source/build/tools/station_simulator" --pty --link "$demo/station" --count 0 \
  --rate "$rate" --object 0x00A1 --object-step 1 --class 032A \
  > >(sed -u 's/^/[station] /') 2>&1 < /dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -e $demo/station ]] && break; sleep 0.05; done

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

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "demo: no display found; the window runs on Qt's offscreen platform."
  echo "demo: the server's output below still shows the events flowing."
  export QT_QPA_PLATFORM=offscreen
fi
echo "demo: working directory $demo, message server on 127.0.0.1:$port; Ctrl-C stops the demo"
(cd "$demo" && exec "$source/build/shell/drvvzt") &
driver_pid=$!
wait "$driver_pid" || true
driver_pid=
