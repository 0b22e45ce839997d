#!/usr/bin/env bash
# Tests of what packaging/gen-docs.py made in a build (BUILD/packaging/docs): each man page
# renders without a warning and documents every command of qxstation, and the bash completion
# of qxstation completes commands, options, verbs, --station folders and the key ids of a
# station's ring.
#
#   tests/scripts/docs_test.sh BUILD_DIR
set -euo pipefail
build=$1
docs=$build/packaging/docs
qxstation_dir=$build/hosts/qxstation
work=$(mktemp -d "${TMPDIR:-/tmp}/qx-docs-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
# A station of the test's own for every qxstation run here.
export QX_REGISTRY=$work/station/registry.db QX_RUNTIME_DIR=$work/station/run
export QX_CONFIG_DIR=$work/station
mkdir -p "$work/station/run"

# The man pages: each renders without a warning; qxstation's documents every command.
for page in qxagent.8 qxprojectmgr.8 qxstation.1; do
  [ -s "$docs/$page.gz" ] || { fail "no $page.gz"; continue; }
  gzip -t "$docs/$page.gz" || fail "$page.gz is not gzip"
  if command -v man >/dev/null; then
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$docs/$page.gz" 2>"$work/man.err") ||
      fail "man -l $page"
    [ ! -s "$work/man.err" ] || fail "man -l $page warns: $(head -3 "$work/man.err")"
    grep -q '^NAME' <<<"$text" || fail "$page has no NAME section"
  fi
done
commands=$("$qxstation_dir/qxstation" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$commands" ] || fail "qxstation --help lists no commands"
for command in $commands; do
  grep -qx ".SS ${command//-/\\\\-}" "$docs/qxstation.1" || fail "qxstation.1 has no section for $command"
done

# The completion, sourced as bash-completion does, with qxstation on PATH.
bash -n "$docs/qxstation.bash" || fail "the completion is not valid bash"
complete_line() {  # the completions of the words given, the last being the one completed
  PATH="$qxstation_dir:$PATH" bash -c '
    complete() { :; }
    source "$1"; shift
    COMP_WORDS=(qxstation "$@"); COMP_CWORD=${#COMP_WORDS[@]}; COMP_CWORD=$((COMP_CWORD - 1))
    _qxstation
    printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$docs/qxstation.bash" "$@"
}
mkdir -p "$work/stations/alpha" "$work/stations/beta"
key=$("$qxstation_dir/qxstation" key generate)
printf '%s\n' "$key" | "$qxstation_dir/qxstation" --station "$work/stations/alpha" key install - >/dev/null
id=$("$qxstation_dir/qxstation" --station "$work/stations/alpha" key list | awk 'NR > 1 { print $1; exit }')
while IFS='|' read -r words expected; do
  read -r -a argv <<<"$words"
  [ "${words: -1}" = " " ] && argv+=("")
  got=$(complete_line "${argv[@]}")
  [ "$got" = "$expected" ] || fail "completing 'qxstation $words': got '$got', want '$expected'"
done <<EOT
tr|trace tree 
key u|use 
registry |delete export get import list set 
copy --b|--buffer 
--st|--station 
--station $work/stations/a|$work/stations/alpha 
--station $work/stations/alpha key use |$id 
--station $work/stations/alpha key remove ${id:0:3}|$id 
EOT
[ "$failures" -eq 0 ] || exit 1
echo "man pages render and document every command; the completion completes"
