#!/usr/bin/env bash
# Load run: dnsperf against the server on loopback for a fixed time with A
# queries spread over a 10,000-record zone, once with Log 0 and once with
# Log 1. Reports queries per second, latency and the server's CPU time per
# query (user + system time of the server process over the run, from /proc,
# divided by the queries answered). Usage: bench/load_run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
records=10000

cmake --preset default > /dev/null
cmake --build --preset default -j2 --target load_server > /dev/null
server="${PWD}/build/default/bench/load_server"
command -v dnsperf > /dev/null || { echo "dnsperf is not installed (apt-get install dnsperf)"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT
mkdir -p "${work}/data" "${work}/store"
{
  echo '$ORIGIN bench.lan.'
  echo '@	SOA	ns1.bench.lan.	hostmaster.bench.lan. 1 3600 600 86400 300'
  echo '@ 	NS	ns1'
  echo 'ns1	A	10.0.0.1'
  for ((i = 0; i < records; i++)); do
    echo "h${i}	A	10.$((i / 65536 % 256)).$((i / 256 % 256)).$((i % 256))"
  done
} > "${work}/data/name.db"
for ((i = 0; i < records; i++)); do echo "h$(( (i * 7919) % records )).bench.lan A"; done \
  > "${work}/queries.txt"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

run_one() {
  local log_level="$1"
  printf '[Velisk]\nPort=%s\nLog=%s\nDirectory=%s/data/\n' "${port}" "${log_level}" "${work}" \
    > "${work}/store/settings.ini"
  rm -f "${work}"/data/dns*.log
  NORVANE_MACHINE_STORE="${work}/store" "${server}" > "${work}/server.out" 2>&1 &
  local pid=$!
  for _ in $(seq 50); do
    dig +noedns +tries=1 +time=1 @127.0.0.1 -p "${port}" h1.bench.lan > /dev/null 2>&1 && break
    sleep 0.2
  done
  local before after
  before=$(cpu_ticks "${pid}")
  dnsperf -s 127.0.0.1 -p "${port}" -d "${work}/queries.txt" -l "${seconds}" -c 4 -q 200 \
    > "${work}/dnsperf.out" 2>&1
  after=$(cpu_ticks "${pid}")
  kill -INT "${pid}"; wait "${pid}" || true
  local completed qps latency
  completed=$(awk '/Queries completed:/ {print $3}' "${work}/dnsperf.out")
  qps=$(awk '/Queries per second:/ {print $4}' "${work}/dnsperf.out")
  latency=$(awk '/Average Latency/ {print $4}' "${work}/dnsperf.out")
  local cpu_us
  cpu_us=$(awk -v d=$((after - before)) -v t="${ticks}" -v q="${completed}" \
    'BEGIN { if (q > 0) printf "%.2f", d / t * 1e6 / q; else print "n/a" }')
  printf '| Log %s | %s | %s | %s s | %s us |\n' "${log_level}" "${completed}" "${qps}" \
    "${latency}" "${cpu_us}"
}

echo "| run | queries answered | queries/s | average latency | server CPU per query |"
echo "|---|---|---|---|---|"
run_one 0
run_one 1
