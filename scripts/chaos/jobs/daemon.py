#!/usr/bin/env python3
# A job that leaves a daemon behind: it records its start, forks a child that
# makes a session of its own and forks again (the grandchild, recorded as
# KEY.gc, sleeps as long as the job), and then waits a second longer than
# the grandchild before it records its end.
# Usage: daemon.py RECORDS KEY MILLISECONDS
import os, sys, time

records, key, ms = sys.argv[1], sys.argv[2], int(sys.argv[3])


def record(event, name):
    line = "%s %s %d %d\n" % (event, name, os.getpid(), int(time.time()))
    fd = os.open(records, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, line.encode())
    os.close(fd)


record("start", key)
if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        devnull = os.open("/dev/null", os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        record("start", key + ".gc")
        time.sleep(ms / 1000.0)
        record("end", key + ".gc")
    os._exit(0)
os.wait()
time.sleep(ms / 1000.0 + 1.0)
record("end", key)
