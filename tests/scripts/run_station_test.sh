#!/usr/bin/env bash
# Tests of scripts/run-station against the programs of a build: a station with the project
# manager starts every time (ten times in a row, the registry made by the first), --dir is
# below the caller's working directory, the hint names the station and its ListenAddress,
# SIGTERM stops both programs, and --help ends cleanly.
#
#   tests/scripts/run_station_test.sh BUILD_DIR
#
# Runs in a network namespace of its own (loopback only) so that the station's fixed ports meet
# nothing else on the machine; exits 77 (skipped) where no namespace can be made.
set -euo pipefail
build=$1
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/run-station"

if [ "${QX_RUN_STATION_TEST_IN_NS:-}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare --net); else ns=(unshare --user --map-root-user --net); fi
  "${ns[@]}" true 2>/dev/null || { echo "no network namespace here: skipped"; exit 77; }
  QX_RUN_STATION_TEST_IN_NS=1 exec "${ns[@]}" "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d "${TMPDIR:-/tmp}/qx-run-station-test.XXXXXX")
runner=""
cleanup() {
  [ -n "$runner" ] && kill -KILL "$runner" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# --help prints the usage and ends with 0, whatever else is on the command line.
help=$(timeout 20 "$script" --help --dir nowhere) || fail "--help ended with $?"
grep -q -- '--with-project-manager' <<<"$help" || fail "--help does not show the usage"
[ ! -e nowhere ] && [ ! -e "$work/nowhere" ] || fail "--help made a station directory"

mkdir "$work/caller"
cd "$work/caller"
for round in $(seq 1 10); do
  log=$work/round$round.log
  "$script" --build "$build" --dir st --with-project-manager >"$log" 2>&1 &
  runner=$!
  ready=0
  for _ in $(seq 1 300); do  # at most 30 s
    grep -qx 'Station ready' "$log" && { ready=1; break; }
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.1
  done
  if [ "$ready" -ne 1 ]; then
    fail "round $round: the station did not start"
    cat "$log" >&2
    break
  fi
  if [ "$round" -eq 1 ]; then
    [ -s "$work/caller/st/registry.db" ] || fail "--dir st is not below the caller's directory"
    [ ! -e "$(dirname "$script")/../st" ] || fail "--dir st was made below the repository"
    grep -qF -- "--station $work/caller/st command --receiver 127.0.0.1 '<Test/>'" "$log" ||
      fail "the hint does not name --station and the ListenAddress: $(grep 'Ask it' "$log")"
  fi
  status=$(QX_REGISTRY="$work/caller/st/registry.db" QX_RUNTIME_DIR="$work/caller/st/run" \
    timeout 30 "$build/hosts/qxstation/qxstation" status --json 2>&1) || true
  python3 -c 'import json, sys; sys.exit(0 if json.load(sys.stdin)["agent"]["running"] else 1)' \
    <<<"$status" 2>/dev/null ||
    fail "round $round: the agent does not run: $status"
  grep -q '"projectManager":{"running":true' <<<"$(tr -d ' \n' <<<"$status")" ||
    fail "round $round: the project manager does not run: $status"
  kill -TERM "$runner"
  stopped=0
  for _ in $(seq 1 300); do
    kill -0 "$runner" 2>/dev/null || { stopped=1; break; }
    sleep 0.1
  done
  [ "$stopped" -eq 1 ] || fail "round $round: run-station did not stop on SIGTERM"
  code=0
  wait "$runner" || code=$?
  runner=""
  [ "$code" -eq 0 ] || fail "round $round: run-station ended with $code"
  # Both programs ended with it: nothing answers on the station's sockets any more.
  after=$(QX_REGISTRY="$work/caller/st/registry.db" QX_RUNTIME_DIR="$work/caller/st/run" \
    timeout 30 "$build/hosts/qxstation/qxstation" status --json 2>/dev/null | tr -d ' \n') || true
  grep -q '"running":true' <<<"$after" && fail "round $round: a program still runs after the stop"
  [ "$failures" -eq 0 ] || { cat "$log" >&2; break; }
done
[ "$failures" -eq 0 ] || exit 1
echo "run-station: ten starts and stops in a row, --dir below the caller, hint and --help"
