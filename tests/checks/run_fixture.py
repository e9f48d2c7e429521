#!/usr/bin/env python3
"""Runs check-platform-calls on the fixture and compares the lines it names
with the lines the fixture marks "FLAG"."""

import re
import subprocess
import sys

checker, fixture = sys.argv[1], sys.argv[2]
with open(fixture, encoding="utf-8") as source:
    wanted = {n for n, line in enumerate(source, start=1) if line.rstrip().endswith("FLAG")}
run = subprocess.run([checker, fixture], capture_output=True, text=True)
named = {int(m.group(1)) for m in re.finditer(r":(\d+): ", run.stdout)}
if run.returncode != (1 if wanted else 0) or named != wanted:
    print(run.stdout)
    print("not named:", sorted(wanted - named), "named wrongly:", sorted(named - wanted))
    sys.exit(1)
