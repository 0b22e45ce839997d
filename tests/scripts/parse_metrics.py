#!/usr/bin/python3
"""Parses a station's metrics text (the file named first) with the Prometheus client library's
own parser of the text exposition format, and checks what a scraper relies on:

  - the text parses whole, every sample belongs to a declared family of a known type;
  - every name starts with qxremote_, counters end in _total and are not below 0;
  - the families NAMES (the arguments after the file) are there.

Prints one line a sample, "NAME{LABELS} VALUE" as the parser read it, and exits 0; otherwise
says why on stderr and exits 1 (2 when the parser itself is missing: python3-prometheus-client).
"""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("the Debian package python3-prometheus-client is missing (scripts/deps.sh)",
          file=sys.stderr)
    sys.exit(2)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        text = f.read()
    wanted = set(sys.argv[2:])
    seen = set()
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as error:  # the parser raises ValueError and others on broken text
        print(f"does not parse: {error}", file=sys.stderr)
        return 1
    for family in families:
        if family.type not in ("counter", "gauge"):
            print(f"{family.name}: type {family.type}", file=sys.stderr)
            return 1
        for sample in family.samples:
            if not sample.name.startswith("qxremote_"):
                print(f"{sample.name}: not a qxremote_ name", file=sys.stderr)
                return 1
            if family.type == "counter":
                if not sample.name.endswith("_total") or sample.value < 0:
                    print(f"{sample.name}: not a counter's sample", file=sys.stderr)
                    return 1
            seen.add(sample.name)
            labels = ",".join(f'{k}="{v}"' for k, v in sorted(sample.labels.items()))
            print(f"{sample.name}{{{labels}}} {sample.value:.17g}")
    missing = sorted(wanted - seen)
    if missing:
        print("missing: " + " ".join(missing), file=sys.stderr)
        return 1
    return 0


sys.exit(main())
