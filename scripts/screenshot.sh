#!/usr/bin/env bash
# Runs velisk under a virtual X server (Xvfb) against a copy of the demo store
# and writes a picture of its main window to doc/images/main-window.png, or
# with "log-viewer" of File > View Log after a few queries to
# doc/images/log-viewer.png, with "preferences-<page>" of one page of
# Options > Preferences to doc/images/preferences-<page>.png, with
# "local-domain" or "add-entry" of that Options dialog to doc/images/<mode>.png.
# Needs xvfb, xauth, imagemagick and xdotool (scripts/install-deps.sh installs them).
set -euo pipefail
mode="${1:-main-window}"
case "${mode}" in
  main-window | log-viewer | local-domain | add-entry) ;;
  preferences-general | preferences-server | preferences-cache | preferences-language) ;;
  *)
    echo "usage: $0 [main-window|log-viewer|local-domain|add-entry|preferences-general|preferences-server|preferences-cache|preferences-language]" >&2
    exit 2
    ;;
esac
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --if-missing

cmake --preset default > /dev/null
cmake --build --preset default -j2 --target velisk > /dev/null

work="$(mktemp -d /tmp/norvane-screenshot-XXXXXX)"
velisk_pid=""
xvfb_pid=""
cleanup() {
  if [[ -n "${velisk_pid}" ]]; then
    kill "${velisk_pid}" 2> /dev/null || true
    # Its exit sequence still writes the cache dump into the tree.
    wait "${velisk_pid}" 2> /dev/null || true
  fi
  if [[ -n "${xvfb_pid}" ]]; then kill "${xvfb_pid}" 2> /dev/null || true; fi
  rm -rf "${work}"
}
trap cleanup EXIT

cp -r demo/store demo/data "${work}/"
port=$((20000 + RANDOM % 20000))
sed -i "s/^Port=.*/Port=${port}/" "${work}/store/settings.ini"
printf 'Directory=%s/data/\nAutoIf=0\n' "${work}" >> "${work}/store/settings.ini"
if [[ "${mode}" == log-viewer ]]; then printf 'Log=1\n' >> "${work}/store/settings.ini"; fi
mkdir -p "${work}/user"
printf '[Velisk]\nwidth=640\nheight=380\n' > "${work}/user/settings.ini"

# A display number nobody uses.
display=99
while [[ -e "/tmp/.X11-unix/X${display}" || -e "/tmp/.X${display}-lock" ]]; do
  display=$((display + 1))
done
Xvfb ":${display}" -screen 0 800x600x24 -nolisten tcp > "${work}/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  [[ -e "/tmp/.X11-unix/X${display}" ]] && break
  sleep 0.1
done

DISPLAY=":${display}" QT_QPA_PLATFORM=xcb NORVANE_MACHINE_STORE="${work}/store" \
  NORVANE_USER_STORE="${work}/user" build/default/gui/velisk > "${work}/velisk.log" 2>&1 &
velisk_pid=$!

# Ready when the server answers; then one more second for the first refill.
for _ in $(seq 100); do
  if dig +noedns +short +time=1 +tries=1 @127.0.0.1 -p "${port}" host.office.lan 2> /dev/null |
    grep -q '^192\.'; then
    break
  fi
  sleep 0.2
done
sleep 2

# Brings the main window up front, presses `keys` there and prints the id of
# the window titled by the pattern `title` once it shows; fails with `what`
# when it does not within five seconds.
open_dialog() {
  local keys="$1" title="$2" what="$3" main_window dialog=""
  main_window="$(DISPLAY=":${display}" xdotool search --name 'Norvane DNS Server' | head -n 1)"
  # shellcheck disable=SC2086 # one word per key
  DISPLAY=":${display}" xdotool windowfocus --sync "${main_window}" ${keys}
  for _ in $(seq 50); do
    dialog="$(DISPLAY=":${display}" xdotool search --name "${title}" 2> /dev/null | head -n 1 || true)"
    [[ -n "${dialog}" ]] && break
    sleep 0.1
  done
  if [[ -z "${dialog}" ]]; then
    echo "${what} did not open" >&2
    return 1
  fi
  echo "${dialog}"
}

mkdir -p doc/images
if [[ "${mode}" == main-window ]]; then
  DISPLAY=":${display}" import -window root -crop 640x380+0+0 +repage doc/images/main-window.png
  echo "wrote doc/images/main-window.png"
  exit 0
fi

# Writes the picture of the dialog window `$1` to doc/images/`$2`.png.
capture() {
  sleep 1
  DISPLAY=":${display}" import -window "$1" "doc/images/$2.png"
  echo "wrote doc/images/$2.png"
}

case "${mode}" in
  local-domain)
    capture "$(open_dialog "key alt+o key l" '^Local Domain$' "the local domain dialog")" "${mode}"
    exit 0
    ;;
  add-entry)
    capture "$(open_dialog "key alt+o key a" '^Add Entry$' "the add entry dialog")" "${mode}"
    exit 0
    ;;
esac

# Options > Preferences through the keyboard, then Ctrl+Tab to the page.
if [[ "${mode}" == preferences-* ]]; then
  sheet="$(open_dialog "key alt+o key p" '^Preferences$' "the preferences")"
  case "${mode}" in
    preferences-server) tabs=1 ;;
    preferences-cache) tabs=2 ;;
    preferences-language) tabs=3 ;;
    *) tabs=0 ;;
  esac
  for _ in $(seq "${tabs}"); do
    DISPLAY=":${display}" xdotool windowfocus --sync "${sheet}" key ctrl+Tab
  done
  capture "${sheet}" "${mode}"
  exit 0
fi

# Queries that fill the log with query, answer and refusal lines; then File >
# View Log through the keyboard.
for name in host.office.lan mail.office.lan www.office.lan printer.office.lan nothing.office.lan \
  ns1.office.lan host.office.lan; do
  dig +noedns +short +time=1 +tries=1 @127.0.0.1 -p "${port}" "${name}" > /dev/null 2>&1 || true
done
dig +noedns +short +time=1 +tries=1 @127.0.0.1 -p "${port}" office.lan MX > /dev/null 2>&1 || true
sleep 1
viewer="$(open_dialog "key alt+f key v" '^Log$' "the log viewer")"
capture "${viewer}" log-viewer
