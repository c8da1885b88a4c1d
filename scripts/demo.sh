#!/usr/bin/env bash
# The whole system on loopback: a Directory Agent, three proxy simulators that register themselves
# with it, a compute node registered with slp-reg, the coordinate monitor, the node-loader
# stand-in under a temporary configuration directory, and the daemon. Sends one request served by
# running proxies and one that needs a compute node, prints both answers and what the monitor and
# the node loader saw, then stops everything it started (the proxies deregister on the way).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
bin=$BUILD/tools
daemon=$BUILD/apps/esm-synthd

work=$(mktemp -d /tmp/esm-demo-XXXXXX)
pids=()
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Last started, first stopped: the proxies deregister while the Directory Agent still runs.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start() {  # start NAME CMD...: runs CMD in the background with its output in $work/NAME.{out,err}
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
}

wait_for() {  # wait_for FILE TEXT: up to 5 s for TEXT to appear in FILE
  for _ in $(seq 50); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: timed out waiting for '$2' in $1" >&2
  cat "$1" >&2
  return 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

section() { printf '\n== %s\n' "$1"; }

# Configuration directory: coordinates and the node loader.
varno=$work/varno
mkdir -p "$varno/abone"
cp tools/sc.linux "$varno/abone/sc.linux"
cat >"$varno/gnp.coords" <<'EOF'
128.2.1.7 10.0 4.5 -2.25
128.2.1.9 12.5 -3.0 7.25
EOF

# The Directory Agent starts empty: each running proxy registers itself for the endpoint or zone
# it serves (two endpoints, one zone), and the compute node that serves clients at the
# coordinates of 128.2.1.9 is registered by hand.
start slp-da "$bin/slp-da/slp-da" --listen 127.0.0.2:0
wait_for "$work/slp-da.err" "listening on"
da=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$work/slp-da.err" | head -n 1)
for served in 5=128.2.1.7 6=128.2.1.8 7=10.1.0.0/16; do
  host=${served%%=*}
  start "proxy-$host" "$bin/esm-proxy-sim" "127.0.0.$host" 7020 --register "$da" --serve "${served#*=}"
  wait_for "$work/proxy-$host.err" "registered"
done
"$bin/slp-reg" --da "$da" --lifetime 3600 --attrs '(x-GNP-num=1),(x-GNP-clients=12.5 -3.0 7.25)' \
  register 'service:CompResource://127.0.0.20/?x-GNP-num=1' >"$work/slp-reg.out"
start monitor "$bin/gnp-monitor" 127.0.0.9
wait_for "$work/monitor.err" "listening"

port=$(free_port)
metrics=127.0.0.1:$(free_port)
start esm-synthd env VARNO_PATH="$varno" VARNO_GNPMONITOR=127.0.0.9 ESM_METRICS_ADDR="$metrics" \
  "$daemon" "$port" "$da"
wait_for "$work/esm-synthd.err" "Listening on port"
echo "esm-synthd on 127.0.0.1:$port, Directory Agent at $da, monitor at 127.0.0.9:5646,"
echo "metrics on http://$metrics/metrics"

section "What the Directory Agent holds (the proxies registered themselves)"
echo "\$ slp-find --da $da ESMProxy; slp-find --da $da CompResource"
"$bin/slp-find" --da "$da" ESMProxy | sed 's/^/   /'
"$bin/slp-find" --da "$da" CompResource | sed 's/^/   /'

section "Request 1: two endpoints and a zone, all with running proxies"
echo "\$ esm-synth 127.0.0.1:$port --endpoint 128.2.1.7 --endpoint 128.2.1.8 --zone 10.1.0.0/16@10.1.2.3"
"$bin/esm-synth" "127.0.0.1:$port" --endpoint 128.2.1.7 --endpoint 128.2.1.8 --zone 10.1.0.0/16@10.1.2.3
echo "-- what the proxies received:"
for host in 5 6 7; do sed "s/^/   127.0.0.$host: /" "$work/proxy-$host.out"; done

section "Request 2: an endpoint without a proxy of its own gets a compute node (about 10 s)"
echo "\$ esm-synth 127.0.0.1:$port --endpoint 128.2.1.7 --endpoint 128.2.1.9 --json"
"$bin/esm-synth" "127.0.0.1:$port" --endpoint 128.2.1.7 --endpoint 128.2.1.9 --json
echo "-- what the monitor saw (address and colour: 2 a client without a proxy, 6 its node):"
for _ in $(seq 20); do [[ $(wc -l <"$work/monitor.out") -ge 2 ]] && break; sleep 0.1; done
sed 's/^/   /' "$work/monitor.out"
echo "-- what the node loader was run with:"
sed 's/^/   sc.linux /' "$varno/abone/calls.log"

section "What the daemon counted (GET http://$metrics/metrics, buckets left out)"
python3 - "$metrics" <<'PY'
import sys, urllib.request
text = urllib.request.urlopen("http://%s/metrics" % sys.argv[1], timeout=5).read().decode()
for line in text.splitlines():
    if line.startswith("esm_synth_") and "_bucket" not in line:
        print("   " + line)
PY

section "Done; stopping everything"
