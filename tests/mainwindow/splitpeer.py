#!/usr/bin/env python3
# splitpeer.py EVERY GAP_MS PROGRAM [ARGS...]
# Runs PROGRAM on a terminal of its own and hands on what it writes; every
# EVERY-th write of it goes in two halves, GAP_MS apart, as a link that
# delivers in pieces does. A line written to our own terminal meanwhile (a
# `wall` message, a background job) lands inside the program's packet.
# What we read goes to the program as it comes. Our terminal is raw while
# the program runs, and as it was afterwards.
import os
import pty
import select
import sys
import termios
import time
import tty

every, gap = int(sys.argv[1]), int(sys.argv[2]) / 1000.0
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[3], sys.argv[3:])
saved = termios.tcgetattr(0)
tty.setraw(0)
reads = 0
try:
    while True:
        ready, _, _ = select.select([0, fd], [], [])
        if fd in ready:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the program has gone
                break
            if not data:
                break
            reads += 1
            half = len(data) // 2 if reads % every == 0 else len(data)
            os.write(1, data[:half])
            if half < len(data):
                time.sleep(gap)
                os.write(1, data[half:])
        if 0 in ready:
            data = os.read(0, 4096)
            if not data:
                break
            os.write(fd, data)
finally:
    termios.tcsetattr(0, termios.TCSADRAIN, saved)
    _, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status) if status else 0)
