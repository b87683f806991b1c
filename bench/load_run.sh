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

source bench/load/bench_zone.sh
setup_bench_run "${records}"
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

run_one() {
  local log_level="$1"
  printf '[Velisk]\nPort=%s\nLog=%s\nDirectory=%s/data/\n' "${port}" "${log_level}" "${work}" \
    > "${work}/store/settings.ini"
  rm -f "${work}"/data/dns*.log
  start_load_server
  local pid="${server_pid}"
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
