#!/usr/bin/env bash
# Builds ostrum and runs it in console mode with the demo configuration from
# demo/: a settings store on port 5353 (its Server value, pallix's default
# host, names this machine) and a data directory holding name.db for
# office.lan. Both are copied to build/demo first, so the server's writes
# (the Path value, zone saves, logs) never touch the repository. Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a fresh machine the packages come first (as root); afterwards this is a no-op.
bash scripts/install-deps.sh --if-missing

cmake --preset default > /dev/null
cmake --build --preset default -j2 --target ostrum pallix

work="${PWD}/build/demo"
rm -rf "${work}"
mkdir -p "${work}"
cp -r demo/store demo/data "${work}/"
printf 'Directory=%s/data/\n' "${work}" >> "${work}/store/settings.ini"

cat <<MSG

Starting ostrum -debug on port 5353 for the demo domain office.lan.
In another terminal try:
    dig +noedns @127.0.0.1 -p 5353 host.office.lan
    dig +noedns @127.0.0.1 -p 5353 office.lan axfr
    NORVANE_MACHINE_STORE=${work}/store build/default/client/pallix print
(The server does not speak EDNS: plain dig gets FORMERR unless given +noedns.)
Press Ctrl+C to stop.

MSG
NORVANE_MACHINE_STORE="${work}/store" exec build/default/service/ostrum -debug
