#!/usr/bin/env bash
# Cache-hit load run: a forwarding cache in front of an upstream server on
# loopback, warmed with every name once, then dnsperf for a fixed time over
# the same names, so every answer comes from the cache. Measures our server
# with 1,000 and 100,000 cached names, and dnsmasq and unbound configured as
# forwarding caches to the same upstream, as server CPU time per query
# (user + system time from /proc over the run, divided by the queries
# answered). Usage: bench/cache_run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

cmake --preset default > /dev/null
cmake --build --preset default -j2 --target load_server > /dev/null
server="${PWD}/build/default/bench/load_server"
for tool in dnsperf dig; do
  command -v "${tool}" > /dev/null || { echo "${tool} is not installed"; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -INT "${pid}" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "${work}"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ticks=$(getconf CLK_TCK)

wait_answer() {
  for _ in $(seq 50); do
    dig +noedns +tries=1 +time=1 @127.0.0.1 -p "$1" "$2" 2> /dev/null | grep -q 'status: NOERROR' && return 0
    sleep 0.2
  done
  echo "no answer on port $1" >&2
  return 1
}

# The upstream: our own server, authoritative for up.bench with 100,000 names.
up_port=$(free_port)
mkdir -p "${work}/up/data" "${work}/up/store"
{
  echo '$ORIGIN up.bench.'
  echo '@	SOA	ns.up.bench.	hostmaster.up.bench. 1 3600 600 86400 86400'
  echo '@ 	NS	ns'
  echo 'ns	A	10.0.0.1'
  for ((i = 0; i < 100000; i++)); do
    echo "n${i}	86400	A	10.$((i / 65536 % 256)).$((i / 256 % 256)).$((i % 256))"
  done
} > "${work}/up/data/name.db"
printf '[Velisk]\nPort=%s\nLog=0\nDirectory=%s/up/data/\n' "${up_port}" "${work}" \
  > "${work}/up/store/settings.ini"
NORVANE_MACHINE_STORE="${work}/up/store" "${server}" > /dev/null 2>&1 &
pids+=($!)
wait_answer "${up_port}" n1.up.bench

queries() {
  local count="$1" file="${work}/queries-$1.txt"
  [[ -f "${file}" ]] || for ((i = 0; i < count; i++)); do
    echo "n$(((i * 7919) % count)).up.bench A"
  done > "${file}"
  echo "${file}"
}

# Runs dnsperf against port $2 (process $3) with query file $4; prints a row.
measure() {
  local label="$1" port="$2" pid="$3" file="$4"
  # Warm: every name once, so the timed run only hits the cache.
  dnsperf -s 127.0.0.1 -p "${port}" -d "${file}" -n 1 -c 4 -q 200 > /dev/null 2>&1
  local before after
  before=$(cpu_ticks "${pid}")
  dnsperf -s 127.0.0.1 -p "${port}" -d "${file}" -l "${seconds}" -c 4 -q 200 \
    > "${work}/dnsperf.out" 2>&1
  after=$(cpu_ticks "${pid}")
  local completed qps latency lost
  completed=$(awk '/Queries completed:/ {print $3}' "${work}/dnsperf.out")
  lost=$(awk '/Queries lost:/ {print $3}' "${work}/dnsperf.out")
  qps=$(awk '/Queries per second:/ {print $4}' "${work}/dnsperf.out")
  latency=$(awk '/Average Latency/ {print $4}' "${work}/dnsperf.out")
  awk -v label="${label}" -v d=$((after - before)) -v t="${ticks}" -v q="${completed}" \
    -v lost="${lost}" -v qps="${qps}" -v lat="${latency}" \
    'BEGIN { printf "| %s | %s | %s | %.0f | %.2f ms | %.2f us |\n", label, q, lost, qps, lat * 1000, (q > 0 ? d / t * 1e6 / q : 0) }'
}

echo "| server | answered | lost | queries/s | avg latency | server CPU per query |"
echo "|---|---|---|---|---|---|"

for names in 1000 100000; do
  file=$(queries "${names}")

  port=$(free_port)
  mkdir -p "${work}/ours-${names}/data" "${work}/ours-${names}/store"
  printf '[Velisk]\nPort=%s\nLog=0\nDirectory=%s/ours-%s/data/\nDNS1=127.0.0.1\nDNS-Port1=%s\nCacheEntries=200000\n' \
    "${port}" "${work}" "${names}" "${up_port}" > "${work}/ours-${names}/store/settings.ini"
  NORVANE_MACHINE_STORE="${work}/ours-${names}/store" "${server}" > /dev/null 2>&1 &
  pid=$!
  pids+=("${pid}")
  wait_answer "${port}" n1.up.bench
  measure "norvane, ${names} names" "${port}" "${pid}" "${file}"
  kill -INT "${pid}"

  if command -v dnsmasq > /dev/null; then
    port=$(free_port)
    dnsmasq --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
      --listen-address=127.0.0.1 --port="${port}" --server="127.0.0.1#${up_port}" \
      --cache-size=150000 --user=root > /dev/null 2>&1 &
    pid=$!
    pids+=("${pid}")
    wait_answer "${port}" n1.up.bench
    measure "dnsmasq, ${names} names" "${port}" "${pid}" "${file}"
    kill "${pid}"
  fi

  if command -v unbound > /dev/null; then
    port=$(free_port)
    cat > "${work}/unbound.conf" <<CONF
server:
  interface: 127.0.0.1
  port: ${port}
  num-threads: 1
  do-daemonize: no
  use-syslog: no
  username: ""
  chroot: ""
  directory: "${work}"
  pidfile: ""
  do-ip6: no
  do-not-query-localhost: no
  msg-cache-size: 256m
  rrset-cache-size: 256m
  access-control: 127.0.0.0/8 allow
  module-config: "iterator"
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@${up_port}
CONF
    unbound -c "${work}/unbound.conf" > /dev/null 2>&1 &
    pid=$!
    pids+=("${pid}")
    wait_answer "${port}" n1.up.bench
    measure "unbound, ${names} names" "${port}" "${pid}" "${file}"
    kill "${pid}"
  fi
done
