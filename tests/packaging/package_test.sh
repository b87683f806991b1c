#!/usr/bin/env bash
# The packages as an administrator meets them (root, Debian): builds them,
# runs lintian, checks a relocated `cmake --install` tree, installs the .deb
# files with apt-get, runs the installed server, client and window program
# against the installed configuration moved to a free port, reinstalls and
# removes without losing the zone, and purges without leaving anything behind.
# Every wait is bounded; the whole run takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="${PWD}"
python=/usr/bin/python3
export DEBIAN_FRONTEND=noninteractive

scratch="$(mktemp -d)"
# Building and installing write into build/ and the scratch folder only.
source_state() { git status --porcelain --untracked-files=all 2> /dev/null || true; }
source_before="$(source_state)"
server_pid=""
cleanup() {
  if [[ -n "${server_pid}" ]]; then kill "${server_pid}" 2> /dev/null || true; fi
  rm -rf "${scratch}"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

free_port() {
  "${python}" -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
t.bind(("127.0.0.1", s.getsockname()[1]))
print(s.getsockname()[1])'
}

# Asks the server on `port` for the A record of `name` until it answers
# `expected` (at most 40 tries, a quarter second apart).
wait_for_answer() {
  local port="$1" name="$2" expected="$3" answer=""
  for _ in $(seq 40); do
    answer="$(dig +noedns +short +time=1 +tries=1 @127.0.0.1 -p "${port}" "${name}" A 2> /dev/null || true)"
    [[ "${answer}" == "${expected}" ]] && return 0
    sleep 0.25
  done
  echo "no answer ${expected} for ${name} on port ${port} (last: ${answer})" >&2
  return 1
}

# A settings store in `folder` copied from `settings` with the port moved.
moved_store() {
  local settings="$1" folder="$2" port="$3"
  mkdir -p "${folder}"
  grep -v '^Port=' "${settings}" > "${folder}/settings.ini"
  echo "Port=${port}" >> "${folder}/settings.ini"
}

# Starts `program -debug` in the background with the environment given
# before it; its output goes to ${scratch}/server.log.
start_server() {
  env "$@" timeout 120 "${program}" -debug > "${scratch}/server.log" 2>&1 &
  server_pid=$!
}

stop_server() {
  kill -INT "${server_pid}"
  local status=0
  wait "${server_pid}" || status=$?
  server_pid=""
  [[ "${status}" == 0 ]] || fail "server exit status ${status}; log: $(tail -5 "${scratch}/server.log")"
}

echo "== packages"
bash scripts/package.sh
debs=(build/packages/norvane_*.deb build/packages/norvane-gui_*.deb)
for deb in "${debs[@]}"; do
  [[ -f "${deb}" ]] || fail "missing package ${deb}"
  dpkg-deb --info "${deb}" | grep -E '^ (Package|Version|Depends):'
done

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || fail "lintian reports errors"

echo "== manual pages"
for page in doc/man/ostrum.8 doc/man/pallix.1 doc/man/velisk.1; do
  warnings="$(groff -ww -z -man "${page}" 2>&1)"
  [[ -z "${warnings}" ]] || fail "groff warns about ${page}: ${warnings}"
done

echo "== relocated install tree"
tree="${scratch}/tree"
cmake --install build/default --prefix "${tree}" > /dev/null
[[ -x "${tree}/sbin/ostrum" && -x "${tree}/bin/pallix" && -x "${tree}/bin/velisk" ]] ||
  fail "programs missing in ${tree}"
grep -qx "Directory=${tree}/var/lib/norvane/" "${tree}/etc/norvane/settings.ini" ||
  fail "relocated settings do not name the tree's data directory"
grep -qx "ExecStart=${tree}/sbin/ostrum" "${tree}/lib/systemd/system/DNSserver.service" ||
  fail "relocated unit does not start the tree's program"
port="$(free_port)"
sed -i "s/^\\[Velisk\\]\$/[Velisk]\\nPort=${port}/" "${tree}/etc/norvane/settings.ini"
# No store variable: the tree's program finds the tree's settings and data.
program="${tree}/sbin/ostrum"
start_server NORVANE_CONTROL="@norvane_relocated_$$"
wait_for_answer "${port}" ns1.norvane.lan 127.0.0.1 || fail "relocated server does not answer"
stop_server

echo "== install"
apt-get -o DPkg::Lock::Timeout=300 purge -y norvane-gui norvane > /dev/null 2>&1 || true
# Packages removed earlier are known to dpkg only.
dpkg --purge norvane-gui norvane > /dev/null 2>&1 || true
apt-get -o DPkg::Lock::Timeout=300 install -y "${debs[@]/#/./}"
for path in /usr/sbin/ostrum /usr/bin/pallix /usr/bin/velisk /etc/norvane/settings.ini \
  /var/lib/norvane/name.db /lib/systemd/system/DNSserver.service \
  /usr/share/applications/velisk.desktop /usr/share/icons/hicolor/scalable/apps/velisk.svg \
  /usr/share/icons/hicolor/48x48/apps/velisk.png /usr/share/norvane/Languages/deutsch.ini \
  /usr/share/norvane/doc/dns.htm /usr/share/man/man8/ostrum.8.gz \
  /usr/share/man/man1/pallix.1.gz /usr/share/man/man1/velisk.1.gz; do
  [[ -e "${path}" ]] || fail "not installed: ${path}"
done
grep -qx 'Directory=/var/lib/norvane/' /etc/norvane/settings.ini || fail "default Directory"
# Every file a help page links to (its stylesheet) travels with it.
for page in /usr/share/norvane/doc/dns.htm /usr/share/norvane/doc/dns-d.htm; do
  for linked in $(grep -o 'href="[^"#:]*"' "${page}" | sed 's/^href="//; s/"$//'); do
    [[ -e "/usr/share/norvane/doc/${linked}" ]] || fail "${page} links to ${linked}, not installed"
  done
done
installed_files="$(dpkg -L norvane norvane-gui)"
echo "${installed_files}" | grep -v '^/\.$' | sort > "${scratch}/installed.txt"

echo "== installed manual pages"
for page in /usr/share/man/man8/ostrum.8.gz /usr/share/man/man1/pallix.1.gz \
  /usr/share/man/man1/velisk.1.gz; do
  warnings="$(MANWIDTH=80 man --warnings=w -l "${page}" 2>&1 > /dev/null)"
  [[ -z "${warnings}" ]] || fail "man warns about ${page}: ${warnings}"
done

echo "== unit"
units="${scratch}/units"
mkdir -p "${units}" "${scratch}/bin"
# systemctl stands in for the service manager this machine may not run.
printf '#!/bin/sh\n[ "$1" = is-active ] && echo inactive\nexit 0\n' > "${scratch}/bin/systemctl"
chmod +x "${scratch}/bin/systemctl"
PATH="${scratch}/bin:${PATH}" NORVANE_UNIT_DIR="${units}" /usr/sbin/ostrum -install
cmp /lib/systemd/system/DNSserver.service "${units}/DNSserver.service" ||
  fail "ostrum -install writes another unit than the package ships"
systemd-analyze verify /lib/systemd/system/DNSserver.service || fail "systemd-analyze verify"
systemd-analyze security --offline=true --no-pager /lib/systemd/system/DNSserver.service |
  tail -1

echo "== installed server and client"
port="$(free_port)"
store="${scratch}/store"
moved_store /etc/norvane/settings.ini "${store}" "${port}"
control="@norvane_package_$$"
program=/usr/sbin/ostrum
start_server NORVANE_MACHINE_STORE="${store}" NORVANE_CONTROL="${control}"
wait_for_answer "${port}" ns1.norvane.lan 127.0.0.1 || fail "installed server does not answer"
client=(env NORVANE_MACHINE_STORE="${store}" NORVANE_CONTROL="${control}" timeout 20 /usr/bin/pallix)
# add exits with 4 when the server took the record, print with 0 at the end
# of a listing.
status=0
added="$("${client[@]}" add www.norvane.lan 300 A 192.0.2.80)" || status=$?
[[ "${status}" == 4 && "${added}" == 'www.norvane.lan added' ]] ||
  fail "pallix add: ${status} ${added}"
listing="$("${client[@]}" print)" || fail "pallix print exit status"
grep -E '^www\.norvane\.lan\.\s+300\s+A\s+192\.0\.2\.80' <<< "${listing}" ||
  fail "pallix print does not list the added record: ${listing}"
wait_for_answer "${port}" www.norvane.lan 192.0.2.80 || fail "added record not served"
# A dynamic update saves the zone file, with the record pallix added.
printf 'server 127.0.0.1 %s\nzone norvane.lan\nupdate add upd.norvane.lan 300 A 192.0.2.81\nsend\n' \
  "${port}" | timeout 20 nsupdate || fail "nsupdate"
stop_server
for address in 192.0.2.80 192.0.2.81; do
  grep -q "${address}" /var/lib/norvane/name.db || fail "zone file in /var/lib/norvane lacks ${address}"
done

echo "== reinstall keeps the zone"
apt-get -o DPkg::Lock::Timeout=300 install -y --reinstall ./build/packages/norvane_*.deb > /dev/null
grep -q '192\.0\.2\.80' /var/lib/norvane/name.db || fail "reinstall replaced the zone"

echo "== remove keeps zone and settings"
apt-get -o DPkg::Lock::Timeout=300 remove -y norvane-gui norvane > /dev/null
[[ ! -e /usr/sbin/ostrum && ! -e /usr/bin/velisk ]] || fail "remove left the programs"
grep -q '192\.0\.2\.80' /var/lib/norvane/name.db || fail "remove deleted the zone"
[[ -f /etc/norvane/settings.ini ]] || fail "remove deleted the settings"
apt-get -o DPkg::Lock::Timeout=300 install -y "${debs[@]/#/./}" > /dev/null
grep -q '192\.0\.2\.80' /var/lib/norvane/name.db || fail "installing again replaced the zone"

echo "== installed window program (offscreen)"
port="$(free_port)"
moved_store /etc/norvane/settings.ini "${store}" "${port}"
mkdir -p "${scratch}/user" "${scratch}/runtime"
chmod 0700 "${scratch}/runtime"
program=/usr/bin/velisk
env NORVANE_MACHINE_STORE="${store}" NORVANE_USER_STORE="${scratch}/user" \
  XDG_RUNTIME_DIR="${scratch}/runtime" QT_QPA_PLATFORM=offscreen \
  timeout 120 /usr/bin/velisk > "${scratch}/server.log" 2>&1 &
server_pid=$!
wait_for_answer "${port}" www.norvane.lan 192.0.2.80 || fail "velisk does not serve the zone"
kill -TERM "${server_pid}"
status=0
wait "${server_pid}" || status=$?
server_pid=""
[[ "${status}" == 0 ]] || fail "velisk exit status ${status}"

echo "== purge"
apt-get -o DPkg::Lock::Timeout=300 purge -y norvane-gui norvane > /dev/null
while read -r path; do
  [[ -d "${path}" ]] && continue
  [[ -e "${path}" || -L "${path}" ]] && fail "left behind: ${path}"
done < "${scratch}/installed.txt"
for path in /etc/norvane /var/lib/norvane /usr/share/norvane /usr/share/doc/norvane \
  /usr/share/doc/norvane-gui; do
  [[ -e "${path}" ]] && fail "left behind: ${path}"
done
[[ "$(source_state)" == "${source_before}" ]] ||
  fail "the source tree changed: $(source_state)"
echo "packaging test passed"
