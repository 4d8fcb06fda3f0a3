#!/usr/bin/env bash
# Time from the parameter reader's first request to a complete snapshot, against the simulator:
# 1,000 parameters, 5 % loss both ways. The agent is already connected to a local broker when the
# simulator starts; its first heartbeat makes the reader ask for the full list at once, so the
# time from the simulator's start to the "Published ... complete=True" line is the read time.
#
#   bench/params_sim.sh <build folder> [runs]
set -euo pipefail
build=${1:?usage: params_sim.sh <build folder> [runs]}
runs=${2:-5}
agent="$build/bridge/orvel-edge-bridge"
sim="$build/sim/orvel-edge-sim"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

for run in $(seq 1 "$runs"); do
  broker_port=$(free_port)
  ap_port=$(free_port)
  mosquitto -p "$broker_port" >"$work/broker.log" 2>&1 &
  pids+=($!)
  sleep 0.3
  EDGE_AUTOPILOT="udpin:127.0.0.1:$ap_port" EDGE_UTM="mqtt://127.0.0.1:$broker_port" \
    EDGE_DEVICE_ID=bench EDGE_ALLOW_CHECKS=off "$agent" 2>"$work/agent.log" &
  pids+=($!)
  for _ in $(seq 1 100); do grep -q "MQTT connected" "$work/agent.log" && break; sleep 0.05; done
  start=$(date +%s.%N)
  "$sim" --autopilot px4 --link "udpout:127.0.0.1:$ap_port" --params 1000 --loss 0.05 \
    --seed "$run" >/dev/null 2>&1 &
  pids+=($!)
  line=""
  for _ in $(seq 1 600); do
    line=$(grep -m1 "Published .* parameters" "$work/agent.log" || true)
    [ -n "$line" ] && break
    sleep 0.02
  done
  end=$(date +%s.%N)
  rounds=$(grep -c "Re-reading" "$work/agent.log" || true)
  printf 'run %d: %.2f s, %s re-read round(s): %s\n' "$run" "$(python3 -c "print($end - $start)")" \
    "$rounds" "${line#* orvel_edge.params }"
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
done
