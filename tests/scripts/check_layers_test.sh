#!/usr/bin/env bash
# Tests of scripts/check-layers: one include a case, put into a small tree of its own with the
# script, which must pass it or name the offending line; then the repository itself must pass.
#
#   tests/scripts/check_layers_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qx-layers-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# put TREE FILE INCLUDE: FILE (below TREE) holds the one line #include "INCLUDE".
put() {
  mkdir -p "$(dirname "$1/$2")"
  printf '// %s\n#include "%s"\n' "$2" "$3" >"$1/$2"
}

# A tree that passes: the script, and the files that its list of internal uses names.
base() {
  local tree=$1
  mkdir -p "$tree/scripts"
  cp "$source_dir/scripts/check-layers" "$tree/scripts/"
  put "$tree" src/rpc/rpc_internal.h common/mutex.h
  put "$tree" hosts/qxagent/rpc_relay_host.cpp rpc/rpc_internal.h
  put "$tree" bench/copy_bench.cpp rpc/rpc_internal.h
  put "$tree" bench/rpc_bench.cpp rpc/rpc_internal.h
  put "$tree" fuzz/fuzz_rpc_frame.cpp rpc/rpc_internal.h
}

# case NAME FILE INCLUDE EXPECT: EXPECT is "ok", or the text that must name the broken rule
# (the file and line are checked too).
case_() {
  local name=$1 file=$2 include=$3 expect=$4 tree out status=0
  tree=$work/$name
  base "$tree"
  put "$tree" "$file" "$include"
  out=$(python3 "$tree/scripts/check-layers" 2>&1) || status=$?
  if [ "$expect" = ok ]; then
    [ "$status" -eq 0 ] || fail "$name: refused: $out"
  elif [ "$status" -ne 1 ]; then
    fail "$name: passed (exit $status), expected \"$expect\""
  elif ! grep -qF "$file:2:" <<<"$out" || ! grep -qF "$expect" <<<"$out"; then
    fail "$name: expected $file:2 and \"$expect\", got: $out"
  fi
}

case_ layer_below src/messaging/a.cpp rpc/rpc.h ok
case_ layer_above src/rpc/a.cpp messaging/netqxkomm.h "which is above it"
case_ keys_below_xml src/keys/a.cpp xml/xml_element.h "which is above it"
case_ diagnosis_extra src/diagnosis/a.cpp rpc/rpc.h "which is above it"
case_ host_public hosts/qxstation/a.cpp platform/unix_socket.h ok
case_ host_linux_internal hosts/qxstation/a.cpp platform/linux/unix_socket.h "internal header"
case_ bench_internal bench/a.cpp messaging/netqxkomm_internal.h "internal header"
case_ fuzz_unlisted_internal fuzz/fuzz_a.cpp rpc/rpc_internal.h "internal header"
case_ test_own_internal tests/platform/a_test.cpp platform/linux/x.h ok
case_ test_other_internal tests/trace/a_test.cpp platform/linux/x.h "internal header"
case_ integration_internal tests/integration/a_test.cpp rpc/rpc_internal.h "internal header"
case_ test_any_public tests/registry/a_test.cpp messaging/multicast_settings.h ok

# A test's helper named like a layer header is the test folder's own file.
tree=$work/helper
base "$tree"
put "$tree" tests/discovery/recording_komm.h messaging/netqxkomm.h
put "$tree" tests/server/a_test.cpp discovery/recording_komm.h
python3 "$tree/scripts/check-layers" >/dev/null || fail "helper: a test helper was taken for a layer header"

# A folder of src/ that is not a layer, and an entry of the internal uses that nothing needs.
tree=$work/unknown
base "$tree"
put "$tree" src/gadgets/a.cpp common/mutex.h
out=$(python3 "$tree/scripts/check-layers" 2>&1) && fail "unknown: a folder outside the list passed"
grep -qF "'gadgets' is not in the layer list" <<<"$out" || fail "unknown: got: $out"
tree=$work/stale
base "$tree"
rm "$tree/bench/rpc_bench.cpp"
out=$(python3 "$tree/scripts/check-layers" 2>&1) && fail "stale: an unneeded entry passed"
grep -qF "bench/rpc_bench.cpp" <<<"$out" || fail "stale: got: $out"

# The repository itself.
python3 "$source_dir/scripts/check-layers" || fail "the repository breaks the layer rules"

if [ "$failures" -ne 0 ]; then
  echo "check_layers_test: $failures failure(s)" >&2
  exit 1
fi
echo "check_layers_test: passed"
