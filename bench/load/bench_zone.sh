# Shared by the load runs: the generated bench.lan zone and its query list.
# Source it from the source root, then call build_load_server,
# write_bench_zone <records> <name.db> and write_bench_queries <records>
# <queries.txt>.

# bench.lan with an SOA, an NS record and its address, and hosts hN at
# distinct 10.x.y.z addresses.
write_bench_zone() {
  local records="$1" path="$2"
  {
    echo '$ORIGIN bench.lan.'
    echo '@	SOA	ns1.bench.lan.	hostmaster.bench.lan. 1 3600 600 86400 300'
    echo '@ 	NS	ns1'
    echo 'ns1	A	10.0.0.1'
    for ((i = 0; i < records; i++)); do
      echo "h${i}	A	10.$((i / 65536 % 256)).$((i / 256 % 256)).$((i % 256))"
    done
  } > "${path}"
}

# A queries of every host, spread over the zone.
write_bench_queries() {
  local records="$1" path="$2"
  for ((i = 0; i < records; i++)); do echo "h$(( (i * 7919) % records )).bench.lan A"; done \
    > "${path}"
}

# Builds load_server and prints its path; fails when dnsperf is missing.
build_load_server() {
  command -v dnsperf > /dev/null || { echo "dnsperf is not installed (apt-get install dnsperf)" >&2; exit 1; }
  cmake --preset default > /dev/null
  cmake --build --preset default -j2 --target load_server > /dev/null
  echo "${PWD}/build/default/bench/load_server"
}

# Sets up one load run: builds load_server (`server`), a scratch folder
# removed at exit (`work`, with data/name.db of <records> hosts, store/ and
# queries.txt) and a free loopback port (`port`).
setup_bench_run() {
  local records="$1"
  server="$(build_load_server)"
  work="$(mktemp -d)"
  trap 'rm -rf "${work}"' EXIT
  mkdir -p "${work}/data" "${work}/store"
  write_bench_zone "${records}" "${work}/data/name.db"
  write_bench_queries "${records}" "${work}/queries.txt"
  port=$(free_port)
}

# Starts load_server with the store in ${work}/store and waits until it
# answers; its process id goes into `server_pid`.
start_load_server() {
  NORVANE_MACHINE_STORE="${work}/store" "${server}" > "${work}/server.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    dig +noedns +tries=1 +time=1 @127.0.0.1 -p "${port}" h1.bench.lan > /dev/null 2>&1 && break
    sleep 0.2
  done
}

# A free loopback port.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
