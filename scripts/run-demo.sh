#!/usr/bin/env bash
# Builds ostrum and runs it in console mode with the demo configuration from
# demo/: a settings store on port 5353 (its Server value, pallix's default
# host, names this machine) and a data directory holding name.db for
# office.lan. Both are copied to build/demo first, so the server's writes
# (the Path value, zone saves, logs) never touch the repository. Ctrl+C stops it.
# With --gui it runs velisk, the windowed program, instead (its own user store
# in build/demo/user; File > Exit or Ctrl+C ends it).
set -euo pipefail
gui=0
if [[ "${1:-}" == "--gui" ]]; then gui=1; fi
cd "$(dirname "$0")/.."
# On a fresh machine the packages come first (as root); afterwards this is a no-op.
bash scripts/install-deps.sh --if-missing

cmake --preset default > /dev/null
if [[ "${gui}" == 1 ]]; then
  cmake --build --preset default -j2 --target velisk
else
  cmake --build --preset default -j2 --target ostrum pallix
fi

work="${PWD}/build/demo"
rm -rf "${work}"
mkdir -p "${work}"
cp -r demo/store demo/data "${work}/"
printf 'Directory=%s/data/\n' "${work}" >> "${work}/store/settings.ini"

if [[ "${gui}" == 1 ]]; then
  echo "Starting velisk on port 5353 for the demo domain office.lan."
  NORVANE_MACHINE_STORE="${work}/store" NORVANE_USER_STORE="${work}/user" \
    exec build/default/gui/velisk
fi

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
