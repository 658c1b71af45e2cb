#!/usr/bin/env python3
"""Fails when scripts/start-order.ld names a function that none of the three objects
defines any more: a renamed start-up function falls back to its usual place in the code
and a hello request faults in more pages. Write the list again with scripts/start-order.sh.

    check-start-order.py SOURCE_DIR BIN_DIR
"""
import re
import subprocess
import sys


def main():
    src, bindir = sys.argv[1], sys.argv[2]
    wanted = re.findall(r"\*\(\.text\.([^)]+)\)", open(f"{src}/scripts/start-order.ld").read())
    defined = set()
    for obj in ("tarnhost", "libkelrun32.so", "libkelplatform.so"):
        out = subprocess.run(["nm", "--defined-only", f"{bindir}/{obj}"], capture_output=True,
                             text=True, check=True).stdout
        defined.update(line.split()[-1] for line in out.splitlines() if line.strip())
    missing = [name for name in wanted if name not in defined]
    for name in missing:
        print(f"start-order.ld: {name} is defined nowhere", file=sys.stderr)
    if missing:
        print(f"{len(missing)} of {len(wanted)} names are stale: run scripts/start-order.sh",
              file=sys.stderr)
        return 1
    print(f"start-order.ld: all {len(wanted)} names defined")
    return 0


if __name__ == "__main__":
    sys.exit(main())
