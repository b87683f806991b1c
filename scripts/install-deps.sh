#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need.
# With --if-missing it does nothing when the tools are already there, so the
# README's two commands work on a fresh machine and cost nothing afterwards.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libldns-dev pkg-config
  # the real clients and peers the system tests talk to
  bind9-dnsutils knot-dnsutils dnsperf nsd
  python3 python3-dnspython iproute2 util-linux
  # velisk, the windowed program (Qt 6 Widgets), its offscreen tests and the
  # screenshots under a virtual X server; PDF checks of the printed log
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth imagemagick xdotool poppler-utils
  # the Debian packages: dpkg-shlibdeps, lintian, the manual pages and the
  # unit checks (systemd-analyze)
  dpkg-dev lintian groff man-db systemd
)

have_everything() {
  for tool in cmake ninja g++ clang++ pkg-config dig kdig nsupdate dnsperf nsd ip unshare Xvfb \
    xauth import xdotool pdfinfo pdftotext dpkg-shlibdeps lintian groff man systemd-analyze; do
    command -v "${tool}" > /dev/null 2>&1 || return 1
  done
  /usr/bin/python3 -c 'import dns.message' > /dev/null 2>&1 || return 1
  pkg-config --exists ldns && [[ -f /usr/include/gtest/gtest.h && -f /usr/include/benchmark/benchmark.h ]] &&
    [[ -n "$(find /usr/lib -path '*cmake/Qt6Widgets/Qt6WidgetsConfig.cmake' -print -quit 2> /dev/null)" ]]
}

if [[ "${1:-}" == "--if-missing" ]] && have_everything; then
  exit 0
fi
if [[ "$(id -u)" != 0 ]]; then
  echo "Missing build or test packages; run as root (sudo bash scripts/install-deps.sh)." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
