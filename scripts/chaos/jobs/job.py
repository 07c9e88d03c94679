#!/usr/bin/env python3
# A Python job: records its start, sleeps, records its end.
# Usage: job.py RECORDS KEY MILLISECONDS [EXIT]
import os, sys, time


def record(path, event, key):
    line = "%s %s %d %d\n" % (event, key, os.getpid(), int(time.time()))
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, line.encode())
    os.close(fd)


record(sys.argv[1], "start", sys.argv[2])
time.sleep(int(sys.argv[3]) / 1000.0)
record(sys.argv[1], "end", sys.argv[2])
sys.exit(int(sys.argv[4]) if len(sys.argv) > 4 else 0)
