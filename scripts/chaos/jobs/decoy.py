#!/usr/bin/env python3
# A process that is not a job although a queue row names it. It records
# every catchable signal it gets and goes on running until SIGKILL.
# Usage: decoy.py RECORDS NAME
import os, signal, sys, time

records, name = sys.argv[1], sys.argv[2]


def on_signal(number, _frame):
    line = "signal %s %d %d %d\n" % (name, os.getpid(), int(time.time()), number)
    fd = os.open(records, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, line.encode())
    os.close(fd)


for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2,
            signal.SIGQUIT):
    signal.signal(sig, on_signal)
while True:
    time.sleep(1)
