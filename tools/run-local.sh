#!/usr/bin/env bash
# Mines against the bundled test pool on 127.0.0.1: starts the pool on a free
# port, runs the miner against it, and stops both on Ctrl-C. With QXT_TLS=1
# (make run TLS=1) the pool speaks TLS with a throw-away self-signed
# certificate made here with the openssl tool, and the miner pins it by its
# SHA-256 fingerprint.
# usage: [QXT_TLS=1] tools/run-local.sh <build-dir> [miner options...]
set -u
build=${1:?build directory}
shift
pool_bin="$build/tools/pool/qxt-test-pool"
miner_bin="$build/korven-qxt"
port_file=$(mktemp -u /tmp/qxt-test-pool-port.XXXXXX)
tls_dir=""
pool_tls=()
scheme=""
miner_tls=()
if [ "${QXT_TLS:-0}" = 1 ]; then
  tls_dir=$(mktemp -d /tmp/qxt-test-pool-tls.XXXXXX)
  if ! openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=qxt-test-pool \
      -addext subjectAltName=IP:127.0.0.1 -keyout "$tls_dir/key.pem" -out "$tls_dir/cert.pem" 2>/dev/null; then
    echo "the openssl tool could not make a certificate" >&2
    rm -rf "$tls_dir"
    exit 1
  fi
  fingerprint=$(openssl x509 -in "$tls_dir/cert.pem" -noout -fingerprint -sha256)
  pool_tls=(--tls-cert "$tls_dir/cert.pem" --tls-key "$tls_dir/key.pem")
  scheme="stratum+ssl://"
  miner_tls=(--tls-fingerprint "${fingerprint#*=}")
fi

"$pool_bin" --port 0 --port-file "$port_file" --job-every 120 "${pool_tls[@]}" &
pool_pid=$!
stop_pool() {
  kill -TERM "$pool_pid" 2>/dev/null
  wait "$pool_pid" 2>/dev/null
  rm -f "$port_file"
  [ -n "$tls_dir" ] && rm -rf "$tls_dir"
}
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
echo "mining against the local test pool on ${scheme}127.0.0.1:$port (Ctrl-C stops both)"
"$miner_bin" -o "${scheme}127.0.0.1:$port" "${miner_tls[@]}" -u QXlocal0test0address0for0the0bundled0pool0only -w local "$@"
