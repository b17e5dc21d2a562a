#!/usr/bin/env python3
"""Runs a command and prints its wall time (s) and peak resident memory (KiB)
as "seconds peak_kib exit_status" on the last line of stdout."""
import resource
import subprocess
import sys
import time

start = time.monotonic()
proc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
elapsed = time.monotonic() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(f"{elapsed:.3f} {peak} {proc.returncode}")
