#!/usr/bin/env bash
# The web view in a real browser: three stations (ALPHA, BRAVO, CHARLIE on 127.0.0.11-13, one
# cluster key) and "qxstation web" at ALPHA, the page opened in Debian's headless chromium by
# web_view_check.py: the hosts appear, a project of CHARLIE named <img src=x onerror=alert(1)>
# shows as text and runs nothing, BRAVO stopped leaves the page within 2 s without a reload,
# /metrics parses; the screenshot is kept as BUILD_DIR/test-artifacts/web.png.
#
#   tests/browser/web_browser_test.sh BUILD_DIR
#
# Runs in a network namespace of its own (loopback only). Exits 77 (skipped) when no namespace
# can be made or chromium and the Python modules are not installed (scripts/run-tests installs
# them: qx_browser_test_packages of scripts/deps.sh).
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=/usr/bin/python3

if [ ! -x /usr/bin/chromium ] || ! "$python" -c 'import websocket, prometheus_client' 2>/dev/null; then
  echo "skipped: chromium, python3-websocket or python3-prometheus-client is not installed" \
    "(apt-get install chromium python3-websocket python3-prometheus-client, or scripts/run-tests)"
  exit 77
fi
if [ "${QX_WEB_TEST_IN_NS:-}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare --net); else ns=(unshare --user --map-root-user --net); fi
  "${ns[@]}" true 2>/dev/null || { echo "skipped: no network namespace can be made here"; exit 77; }
  QX_WEB_TEST_IN_NS=1 exec "${ns[@]}" "$0" "$@"
fi
ip link set lo up

qxstation=$build/hosts/qxstation/qxstation
norvane='HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE'
names=(ALPHA BRAVO CHARLIE)
declare -A address=([ALPHA]=127.0.0.11 [BRAVO]=127.0.0.12 [CHARLIE]=127.0.0.13)
declare -A runner
web=""
work=$(mktemp -d "${TMPDIR:-/tmp}/qx-web-test.XXXXXX")
export QX_CONFIG_DIR=$work/config  # nothing of the machine's own station
mkdir -p "$QX_CONFIG_DIR"

stop_pid() {  # SIGTERM, then SIGKILL after 10 s, to one process this script started
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop_pid "$web"
  for station in "${names[@]}"; do stop_pid "${runner[$station]:-}"; done
  rm -rf "$work"
}
trap cleanup EXIT
at() { local station=$1; shift; timeout 60 "$qxstation" --station "$work/$station" "$@"; }

key=""
for station in "${names[@]}"; do
  mkdir -p "$work/$station/run"
  at "$station" registry set "$norvane\\PLATFORM" ComputerName "$station" >/dev/null
  at "$station" registry set "$norvane\\RPC" ListenAddress "${address[$station]}" >/dev/null
  for other in "${names[@]}"; do
    [ "$other" = "$station" ] ||
      at "$station" registry set "$norvane\\RPC\\HOSTS" "$other" "${address[$other]}" >/dev/null
  done
  [ -n "$key" ] || key=$(at "$station" key generate)
  printf '%s\n' "$key" | at "$station" key install - >/dev/null
done
: >"$work/CHARLIE/plant.mcp"
at CHARLIE write-project --dsn '<img src=x onerror=alert(1)>' --name '<b>Plant</b>' \
  --type 'Multi User' --full-path "$work/CHARLIE/plant.mcp" --server CHARLIE --host CHARLIE

for station in "${names[@]}"; do
  "$repo/scripts/run-station" --build "$build" --dir "$work/$station" >"$work/$station.log" 2>&1 &
  runner[$station]=$!
  for _ in $(seq 1 300); do
    grep -q 'ready' "$work/$station.log" && break
    kill -0 "${runner[$station]}" 2>/dev/null || break
    sleep 0.1
  done
  grep -q 'ready' "$work/$station.log" || { cat "$work/$station.log"; echo "FAILED: $station did not start"; exit 1; }
done
bravo_agent=$(pgrep -P "${runner[BRAVO]}" -x qxagent) || { echo "FAILED: no agent of BRAVO"; exit 1; }

at ALPHA web --listen 127.0.0.1:18470 >"$work/web.log" 2>&1 &
web=$!
for _ in $(seq 1 100); do
  grep -q 'web view on' "$work/web.log" && break
  kill -0 "$web" 2>/dev/null || break
  sleep 0.1
done
grep -q 'web view on http://127.0.0.1:18470/' "$work/web.log" ||
  { cat "$work/web.log"; echo "FAILED: qxstation web did not start"; exit 1; }

# The last host is the one stopped: BRAVO.
"$python" "$here/web_view_check.py" http://127.0.0.1:18470/ "$bravo_agent" \
  "$build/test-artifacts" ALPHA CHARLIE BRAVO
