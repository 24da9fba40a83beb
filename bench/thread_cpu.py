#!/usr/bin/env python3
"""thread_cpu.py COMMAND...: runs COMMAND and prints one line: its wall time,
the CPU seconds of its main thread (the caller's: in an import it converts
the values and posts the records), of its other threads together, and of
each of those, largest first. Threads are sampled from /proc every 10 ms, so
each figure may be short by up to 10 ms; the sampling runs in this process,
whose CPU time is not counted. Exits with the command's status."""
import os
import subprocess
import sys
import time

hz = os.sysconf("SC_CLK_TCK")
start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
cpu = {}  # thread id: CPU seconds when last seen
while child.poll() is None:
    try:
        tids = os.listdir(f"/proc/{child.pid}/task")
    except OSError:
        tids = []
    for tid in tids:
        try:
            with open(f"/proc/{child.pid}/task/{tid}/stat") as f:
                stat = f.read()
        except OSError:
            continue  # the thread ended
        fields = stat[stat.rindex(")") + 2:].split()
        cpu[int(tid)] = (int(fields[11]) + int(fields[12])) / hz  # utime + stime
    time.sleep(0.01)
wall = time.monotonic() - start
errors = child.stderr.read().decode(errors="replace")
others = sorted((s for tid, s in cpu.items() if tid != child.pid), reverse=True)
print(f"{wall:.2f} {cpu.get(child.pid, 0.0):.2f} {sum(others):.2f} " +
      " ".join(f"{s:.2f}" for s in others))
if child.returncode != 0:
    sys.stderr.write(errors)
sys.exit(child.returncode)
