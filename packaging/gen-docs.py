#!/usr/bin/env python3
"""gen-docs.py - the man pages and qxstation's bash completion, made from the programs' --help.

Runs the built programs (each with a station of its own in a temporary directory, never the
machine's) and writes to OUT:
  qxagent.8, qxprojectmgr.8   from their --help
  qxstation.1                 from qxstation --help and the --help of every command it lists
  qxstation.bash              the completion: the commands, their options and verbs, as listed
Each .8/.1 page is also written gzip -9n compressed (.gz) for the package.

  gen-docs.py --qxagent P --qxprojectmgr P --qxstation P --version V --out DIR
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HEADING = re.compile(r"^([A-Z][A-Za-z -]*):\s*$")
ENTRY = re.compile(r"^  (\S.*?)(?:\s{2,}(\S.*))?$")
LIST_SECTIONS = {"Options", "Subcommands", "Positionals"}
# The most a program may print for --help; anything longer is a fault, not documentation.
MAX_HELP = 256 * 1024


def run_help(program, args, station):
    env = {
        "PATH": "/usr/bin:/bin",
        "LANG": "C.UTF-8",
        "QX_REGISTRY": os.path.join(station, "registry.db"),
        "QX_RUNTIME_DIR": os.path.join(station, "run"),
        "QX_CONFIG_DIR": station,
        # A sanitizer build makes its documents too: a leak report is not a help text.
        "ASAN_OPTIONS": "detect_leaks=0",
    }
    for name in ("TSAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    done = subprocess.run([program] + args, env=env, capture_output=True, timeout=60,
                          check=False)
    if done.returncode != 0:
        sys.exit("gen-docs: %s %s ended with %d: %s" %
                 (program, " ".join(args), done.returncode, done.stderr[:500]))
    text = done.stdout.decode("utf-8", "replace")
    if len(text) > MAX_HELP:
        sys.exit("gen-docs: %s %s printed too much" % (program, " ".join(args)))
    return text


def roff(text):
    """Text as roff: backslashes, dashes and leading control characters escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def parse(text):
    """The help as (kind, heading, payload) blocks: 'text' lines, 'list' entries, 'pre' lines."""
    blocks = []
    heading = None
    for line in text.rstrip("\n").split("\n"):
        match = HEADING.match(line)
        if match:
            heading = match.group(1)
            blocks.append(("heading", heading, None))
            continue
        if not line.strip():
            blocks.append(("blank", heading, None))
            continue
        if heading in LIST_SECTIONS and line.startswith("  "):
            entry = ENTRY.match(line)
            if line.startswith("   ") and blocks and blocks[-1][0] == "list":
                name, description = blocks[-1][2]
                blocks[-1] = ("list", heading, (name, (description + " " + line.strip()).strip()))
            elif entry:
                blocks.append(("list", heading, (entry.group(1), entry.group(2) or "")))
            continue
        blocks.append(("pre" if line.startswith(" ") else "text", heading, line))
    return blocks


def render(blocks, heading_macro):
    out = []
    mode = None
    for kind, heading, payload in blocks:
        if kind != "pre" and mode == "pre":
            out.append(".fi")
        if kind == "heading":
            out.append(heading_macro % roff(heading))
            mode = None
        elif kind == "blank":
            if mode in ("text", "pre"):
                out.append(".PP")
            mode = None
        elif kind == "list":
            out.append(".TP")
            out.append(".B " + roff(payload[0]))
            out.append(roff(payload[1]) if payload[1] else "\\&")
            mode = "list"
        elif kind == "pre":
            if mode != "pre":
                out.append(".PP" if mode == "list" else ".sp 0")
                out.append(".nf")
            out.append(roff(payload))
            mode = "pre"
        else:
            if mode == "list":
                out.append(".PP")
            out.append(roff(payload))
            mode = "text"
    if mode == "pre":
        out.append(".fi")
    return out


def usage_and_rest(text):
    """The usage line (without 'Usage: ') and the help without it."""
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if line.lower().startswith("usage: "):
            return line[len("usage: "):], "\n".join(lines[:i] + lines[i + 1:])
    return None, text


def page(name, section, version, summary, help_text, extra=None):
    usage, rest = usage_and_rest(help_text)
    out = ['.TH %s %s "" "qxremoteserver %s" "QXRemoteServer"' %
           (name.upper(), section, version), ".SH NAME", "%s \\- %s" % (name, roff(summary))]
    if usage:
        out += [".SH SYNOPSIS", ".B " + roff(usage)]
    out += [".SH DESCRIPTION"] + render(parse(rest.strip("\n")), ".SS %s")
    out += extra or []
    others = [p for p in (("qxagent", 8), ("qxprojectmgr", 8), ("qxstation", 1)) if p[0] != name]
    out += [".SH SEE ALSO", ", ".join("\\fB%s\\fR(%d)" % p for p in others)]
    return "\n".join(out) + "\n"


def list_entries(text, section):
    return [payload for kind, heading, payload in parse(text)
            if kind == "list" and heading == section]


def option_names(text):
    names = []
    for flag, _ in list_entries(text, "Options"):
        for part in flag.split()[0].split(","):
            if part.startswith("-"):
                names.append(part)
    return names


def verbs(text):
    """The words of a VERB positional ('get, set or list')."""
    for name, description in list_entries(text, "Positionals"):
        if name.split()[0] == "VERB":
            return [w for w in re.split(r",\s*|\s+or\s+", description) if re.fullmatch(r"[a-z-]+", w)]
    return []


COMPLETION = r'''# bash completion for qxstation, made from its --help (packaging/gen-docs.py).
# Completes the commands, each command's options and verbs, --station folders and the key ids
# of `qxstation key list` where the station's key ring is readable.

_qxstation_commands="@COMMANDS@"
_qxstation_global_options="@GLOBAL@"

_qxstation_options() {
  case "$1" in
@OPTIONS@
  esac
}

_qxstation_verbs() {
  case "$1" in
@VERBS@
  esac
}

_qxstation() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local i word command="" words_after=0 verb="" station=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case "$word" in
      --station) station=(--station "${COMP_WORDS[i + 1]}"); ((i++)) ;;
      --station=*) station=("$word") ;;
      -*) ;;
      *)
        if [ -z "$command" ]; then
          command=$word
        else
          ((words_after++))
          [ "$words_after" -eq 1 ] && verb=$word
        fi
        ;;
    esac
  done
  COMPREPLY=()
  if [ "$prev" = --station ]; then
    COMPREPLY=($(compgen -d -- "$cur"))
    return 0
  fi
  if [ -z "$command" ]; then
    if [[ "$cur" == -* ]]; then
      COMPREPLY=($(compgen -W "$_qxstation_global_options" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$_qxstation_commands" -- "$cur"))
    fi
    return 0
  fi
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$(_qxstation_options "$command") $_qxstation_global_options" -- "$cur"))
    return 0
  fi
  local verbs
  verbs=$(_qxstation_verbs "$command")
  if [ -n "$verbs" ] && [ "$words_after" -eq 0 ]; then
    COMPREPLY=($(compgen -W "$verbs" -- "$cur"))
  elif [ "$command" = key ] && [ "$words_after" -eq 1 ] && { [ "$verb" = use ] || [ "$verb" = remove ]; }; then
    local ids
    ids=$(timeout 5 qxstation "${station[@]}" key list 2>/dev/null |
      awk '$1 ~ /^[0-9a-f]+$/ { print $1 }' | head -n 100)
    COMPREPLY=($(compgen -W "$ids" -- "$cur"))
  fi
  return 0
}
complete -o default -F _qxstation qxstation
'''


def completion(main_help, command_helps):
    commands = [name for name, _ in list_entries(main_help, "Subcommands")]
    options = []
    verb_cases = []
    for name in commands:
        options.append('    %s) echo "%s" ;;' % (name, " ".join(option_names(command_helps[name]))))
        words = verbs(command_helps[name])
        if words:
            verb_cases.append('    %s) echo "%s" ;;' % (name, " ".join(words)))
    return (COMPLETION.replace("@COMMANDS@", " ".join(commands))
            .replace("@GLOBAL@", " ".join(option_names(main_help)))
            .replace("@OPTIONS@", "\n".join(options))
            .replace("@VERBS@", "\n".join(verb_cases) or "    *) ;;"))


def write(path, text, compress):
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    if compress:
        with open(path + ".gz", "wb") as out:
            subprocess.run(["gzip", "-9n", "-c", path], stdout=out, check=True)


def main():
    parser = argparse.ArgumentParser()
    for program in ("qxagent", "qxprojectmgr", "qxstation"):
        parser.add_argument("--" + program, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="qx-gen-docs.") as station:
        agent = run_help(args.qxagent, ["--help"], station)
        manager = run_help(args.qxprojectmgr, ["--help"], station)
        main_help = run_help(args.qxstation, ["--help"], station)
        commands = [name for name, _ in list_entries(main_help, "Subcommands")]
        if not commands:
            sys.exit("gen-docs: qxstation --help lists no commands")
        command_helps = {name: run_help(args.qxstation, [name, "--help"], station)
                         for name in commands}

    write(os.path.join(args.out, "qxagent.8"),
          page("qxagent", 8, args.version, "the station daemon of QXRemoteServer", agent), True)
    write(os.path.join(args.out, "qxprojectmgr.8"),
          page("qxprojectmgr", 8, args.version, "the project-manager host of a station", manager),
          True)
    extra = [".SH COMMANDS"]
    for name in commands:
        usage, rest = usage_and_rest(command_helps[name])
        extra += [".SS " + roff(name)]
        if usage:
            extra += [".B " + roff(usage), ".PP"]
        extra += render(parse(rest.strip("\n")), ".PP\n.I %s")
    write(os.path.join(args.out, "qxstation.1"),
          page("qxstation", 1, args.version, "the command line of a station", main_help, extra),
          True)
    write(os.path.join(args.out, "qxstation.bash"), completion(main_help, command_helps), False)


if __name__ == "__main__":
    main()
