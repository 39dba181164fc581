#!/usr/bin/env bash
# Mines against the bundled test pool on 127.0.0.1: starts the pool on a free
# port, runs the miner against it, and stops both on Ctrl-C.
# usage: tools/run-local.sh <build-dir> [miner options...]
set -u
build=${1:?build directory}
shift
pool_bin="$build/tools/pool/qxt-test-pool"
miner_bin="$build/korven-qxt"
port_file=$(mktemp -u /tmp/qxt-test-pool-port.XXXXXX)

"$pool_bin" --port 0 --port-file "$port_file" --job-every 120 &
pool_pid=$!
stop_pool() { kill -TERM "$pool_pid" 2>/dev/null; wait "$pool_pid" 2>/dev/null; rm -f "$port_file"; }
trap stop_pool EXIT
# The miner and the pool both get the terminal's Ctrl-C; this script only
# waits for them and cleans up.
trap '' INT

for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  sleep 0.1
done
if [ ! -s "$port_file" ]; then
  echo "the test pool did not start" >&2
  exit 1
fi
port=$(cat "$port_file")
echo "mining against the local test pool on 127.0.0.1:$port (Ctrl-C stops both)"
"$miner_bin" -o "127.0.0.1:$port" -u QXlocal0test0address0for0the0bundled0pool0only -w local "$@"
