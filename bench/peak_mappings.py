#!/usr/bin/env python3
"""peak_mappings.py [--pipe FILE] COMMAND...: runs COMMAND (its standard input
read from FILE through a pipe with --pipe), samples /proc/PID/smaps every
10 ms and prints, for the sample whose resident pages add up to the most,
that total and its mappings of 64 KiB or more resident, largest first: what
the peak is made of (the heap, a thread's heap, a large block mapped on its
own, the code). A peak between two samples is missed. Exits with the
command's status."""
import re
import subprocess
import sys
import time

HEADER = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) \S+ \S+ \S+ \S+\s*(.*)$")


def mappings(pid):
    """(resident KiB, size KiB, name, address range) of each mapping."""
    found = []
    try:
        with open(f"/proc/{pid}/smaps") as f:
            for line in f:
                header = HEADER.match(line)
                if header:
                    start, end = int(header[1], 16), int(header[2], 16)
                    name = header[3] or "[anonymous]"
                    found.append([0, (end - start) >> 10, name, f"{header[1]}-{header[2]}"])
                elif line.startswith("Rss:") and found:
                    found[-1][0] = int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        return []
    return found


def main():
    args = sys.argv[1:]
    source = None
    if args[:1] == ["--pipe"]:
        source = subprocess.Popen(["cat", args[1]], stdout=subprocess.PIPE)
        args = args[2:]
    run = subprocess.Popen(args, stdin=source.stdout if source else None,
                           stdout=subprocess.DEVNULL)
    if source:
        source.stdout.close()
    peak, at_peak = 0, []
    while run.poll() is None:
        sample = mappings(run.pid)
        total = sum(m[0] for m in sample)
        if total > peak:
            peak, at_peak = total, sample
        time.sleep(0.01)
    print(f"peak: {peak} KiB resident")
    for rss, size, name, where in sorted(at_peak, reverse=True):
        if rss >= 64:
            print(f"{rss:>9} KiB of {size:>9} KiB  {name}  {where}")
    sys.exit(run.returncode)


if __name__ == "__main__":
    main()
