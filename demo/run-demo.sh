#!/usr/bin/env bash
# The one-command demo (make demo): a simulated drone, the agent and a stand-in for the Orvel
# platform, all on this machine (127.0.0.1 only), for about a minute.
#
#   demo/run-demo.sh [BUILD_DIR]      (default: build)
#
# Ends by itself; stops every process it started and deletes its temporary folder, also when
# interrupted.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
AGENT="$BUILD/bridge/orvel-edge-bridge"
SIM="$BUILD/sim/orvel-edge-sim"
PLATFORM="$BUILD/demo/orvel-edge-demo-platform"
MOSQUITTO=${MOSQUITTO:-/usr/sbin/mosquitto}
DEVICE=demo-drone

for program in "$AGENT" "$SIM" "$PLATFORM" "$MOSQUITTO"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; run 'make build' (and 'make deps') first" >&2
    exit 1
  fi
done
for tool in openssl python3 base64 timeout; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing; run 'make deps'" >&2; exit 1; }
done

TMP=$(mktemp -d /tmp/orvel-demo-XXXXXX)
PIDS=()

# shellcheck disable=SC2317 # run by the traps
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    local alive=0
    for pid in "${PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$TMP"
  exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted; stopping everything it started"; exit 130' INT
trap 'echo "demo: terminated; stopping everything it started"; exit 143' TERM

if [ -t 1 ]; then BOLD=$'\033[1m' PLAIN=$'\033[0m'; else BOLD='' PLAIN=''; fi
say() { printf '\n%s== %s%s\n' "$BOLD" "$*" "$PLAIN"; }
# Prefixes every line of standard input with a tag, line by line as it comes.
tag() { sed -u "s/^/$1 | /"; }

# A loopback port that was free a moment ago (tcp or udp).
free_port() {
  python3 -c "import socket,sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1] == 'udp' else socket.SOCK_STREAM)
s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])" "$1"
}

say "orvel-edge demo: a simulated drone, the agent and the Orvel platform, all on 127.0.0.1"
echo "The agent (orvel-edge-bridge) runs on a drone's companion computer. It talks MAVLink to the"
echo "autopilot and MQTT to the Orvel platform: it relays telemetry, publishes the autopilot's"
echo "parameters, and flies only commands that the platform signed with its Ed25519 key."
echo "Temporary files: $TMP"

say "1. The platform's command key (Ed25519, made with the openssl command-line tool)"
openssl genpkey -algorithm ed25519 -out "$TMP/platform-key.pem" 2>/dev/null
# The raw public key is the last 32 bytes of its DER form; the agent takes it in Base64.
PUBLIC_KEY=$(openssl pkey -in "$TMP/platform-key.pem" -pubout -outform DER | tail -c 32 | base64)
echo "private key stays with the platform: $TMP/platform-key.pem"
echo "public key given to the agent:       EDGE_COMMAND_PUBLIC_KEY=$PUBLIC_KEY"

say "2. An MQTT broker (mosquitto) on 127.0.0.1; the agent and the platform both connect to it"
BROKER_PORT=
for _ in 1 2 3 4 5; do
  port=$(free_port tcp)
  {
    echo "listener $port 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    echo "log_dest stderr"
    [ "$(id -u)" = 0 ] && echo "user root"
  } >"$TMP/mosquitto.conf"
  "$MOSQUITTO" -c "$TMP/mosquitto.conf" >>"$TMP/mosquitto.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then BROKER_PORT=$port; break; fi
    kill -0 "${PIDS[-1]}" 2>/dev/null || break # it ended: most likely the port was taken
    sleep 0.1
  done
  [ -n "$BROKER_PORT" ] && break
done
if [ -z "$BROKER_PORT" ]; then
  echo "demo: mosquitto did not start:" >&2
  cat "$TMP/mosquitto.log" >&2
  exit 1
fi
echo "mosquitto listens on 127.0.0.1:$BROKER_PORT (log: $TMP/mosquitto.log)"

say "3. The platform (orvel-edge-demo-platform) subscribes to the drone's topics"
echo "It prints what the agent sends, then flies three signed commands: take off, go, land."
# Started before the agent, so that it hears the agent's hello. timeout bounds the whole demo.
timeout 100 "$PLATFORM" "$BROKER_PORT" "$DEVICE" "$TMP/platform-key.pem" \
  > >(tag "platform") 2>&1 &
PLATFORM_PID=$!
PIDS+=("$PLATFORM_PID")
sleep 0.5

say "4. The simulated vehicle (orvel-edge-sim): a PX4 multicopter speaking MAVLink over UDP"
AUTOPILOT_PORT=$(free_port udp)
"$SIM" --autopilot px4 --link "udpout:127.0.0.1:$AUTOPILOT_PORT" > >(tag "sim     ") 2>&1 &
PIDS+=($!)

say "5. The agent (orvel-edge-bridge), configured by EDGE_* variables as on a real drone"
echo "EDGE_AUTOPILOT=udpin:127.0.0.1:$AUTOPILOT_PORT EDGE_UTM=mqtt://127.0.0.1:$BROKER_PORT"
echo "EDGE_DEVICE_ID=$DEVICE EDGE_ALLOW_COMMANDS=takeoff,goto,land EDGE_PARAMS_SECONDS=600"
echo "Its own log lines are tagged 'agent'. Every 30 s it logs a statistics line: 'dropped' counts"
echo "frames it handles itself instead of relaying (such as the parameter values, which reach the"
echo "platform in the compressed snapshot)."
echo
EDGE_AUTOPILOT="udpin:127.0.0.1:$AUTOPILOT_PORT" \
  EDGE_UTM="mqtt://127.0.0.1:$BROKER_PORT" \
  EDGE_DEVICE_ID="$DEVICE" \
  EDGE_ALLOW_COMMANDS=takeoff,goto,land \
  EDGE_COMMAND_PUBLIC_KEY="$PUBLIC_KEY" \
  EDGE_PARAMS_SECONDS=600 \
  EDGE_LOGS_STATE="$TMP/logs-sent.json" \
  "$AGENT" > >(tag "agent   ") 2>&1 &
PIDS+=($!)

status=0
wait "$PLATFORM_PID" || status=$?
sleep 0.3 # let the last tagged lines through
if [ "$status" = 0 ]; then
  say "Demo finished: telemetry relayed, parameters published, three signed commands flown."
elif [ "$status" = 124 ]; then
  say "Demo FAILED: the platform did not finish within 100 s"
else
  say "Demo FAILED (platform exit status $status)"
fi
echo "Stopping the agent, the simulator and the broker; deleting $TMP."
exit "$status"
