#!/usr/bin/env bash
# Update load run: dnsperf at a fixed query rate against a 100,000-record zone
# while nsupdate sends 0, 20 and 100 changes a second, each change a record
# added to the zone. Reports query latency p50, p99 and max (from dnsperf's
# per-query lines), queries answered and lost, and the updates acknowledged.
# Usage: bench/update_load_run.sh [seconds] [queries-per-second]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
rate="${2:-2000}"
records=100000

command -v nsupdate > /dev/null || { echo "nsupdate is not installed (apt-get install bind9-dnsutils)"; exit 1; }

source bench/load/bench_zone.sh
setup_bench_run "${records}"
cp "${work}/data/name.db" "${work}/name.db.original"

# Feeds one nsupdate process with `rate` changes a second for `seconds`
# seconds, paced by the clock; nsupdate sends each and waits for its reply.
update_feed() {
  /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import sys, time
port, rate, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
print(f"server 127.0.0.1 {port}\nzone bench.lan", flush=True)
start = time.monotonic()
i = 0
while rate > 0 and time.monotonic() - start < seconds:
    due = start + i / rate
    now = time.monotonic()
    if due > now:
        time.sleep(due - now)
    print(f"update add u{i}.bench.lan 300 A 10.250.{i // 250 % 256}.{i % 250 + 1}\nsend", flush=True)
    i += 1
PY
}

run_one() {
  local updates="$1"
  printf '[Velisk]\nPort=%s\nLog=0\nAutoIf=0\nDirectory=%s/data/\nDomain=bench.lan\n' \
    "${port}" "${work}" > "${work}/store/settings.ini"
  cp "${work}/name.db.original" "${work}/data/name.db"
  start_load_server
  local pid="${server_pid}"
  local feeder=""
  if [ "${updates}" -gt 0 ]; then
    update_feed "${port}" "${updates}" "${seconds}" | nsupdate -t 5 > "${work}/nsupdate.out" 2>&1 &
    feeder=$!
  fi
  dnsperf -s 127.0.0.1 -p "${port}" -d "${work}/queries.txt" -l "${seconds}" -Q "${rate}" \
    -c 4 -q 500 -t 2 -v > "${work}/dnsperf.out" 2>&1 || true
  [ -n "${feeder}" ] && wait "${feeder}" || true
  local acknowledged
  acknowledged=$(dig +noedns +tries=1 +time=2 @127.0.0.1 -p "${port}" bench.lan SOA +short |
    awk '{print $3 - 1}')
  kill -INT "${pid}"; wait "${pid}" || true
  local completed lost
  completed=$(awk '/Queries completed:/ {print $3}' "${work}/dnsperf.out")
  lost=$(awk '/Queries lost:/ {print $3}' "${work}/dnsperf.out")
  # Per-query lines of -v end with the latency in seconds.
  awk '/^> / {print $NF * 1000}' "${work}/dnsperf.out" | sort -g > "${work}/latency.txt"
  awk -v u="${updates}" -v c="${completed}" -v l="${lost}" -v a="${acknowledged}" '
    { v[NR] = $1 }
    END {
      if (NR == 0) { printf "| %s | n/a | n/a | n/a | %s | %s | %s |\n", u, c, l, a; exit }
      p50 = v[int(NR * 0.50) > 0 ? int(NR * 0.50) : 1]
      p99 = v[int(NR * 0.99) > 0 ? int(NR * 0.99) : 1]
      printf "| %s | %.2f | %.2f | %.2f | %s | %s | %s |\n", u, p50, p99, v[NR], c, l, a
    }' "${work}/latency.txt"
}

echo "| updates/s | p50 ms | p99 ms | max ms | queries answered | queries lost | serial rise (updates saved) |"
echo "|---|---|---|---|---|---|---|"
for updates in 0 20 100; do run_one "${updates}"; done
