#!/usr/bin/python3
"""Key-to-screen latency of a terminal window on an X server.

Starts the terminal command given after "--" (its shell should have an empty
prompt), waits for its window, then types 'a' and BackSpace in turn through
XTEST and polls the window's top rows until the pixels change. Prints one
line: name, keys, p50 and p99 in milliseconds.

  typometer.py NAME [--keys N] -- TERMINAL-COMMAND...
"""
import subprocess
import sys
import time

from Xlib import X, XK, display
from Xlib.ext import xtest


def window_of(pid, timeout=20.0):
    end = time.time() + timeout
    while time.time() < end:
        out = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(pid)],
                             capture_output=True, text=True).stdout.split()
        if out:
            return int(out[-1])
        time.sleep(0.1)
    raise SystemExit('typometer: no window for pid %d' % pid)


def main():
    args = sys.argv[1:]
    name = args.pop(0)
    keys = 200
    if args and args[0] == '--keys':
        keys = int(args[1])
        args = args[2:]
    command = args[args.index('--') + 1:]
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wid = window_of(proc.pid)
        subprocess.run(['xdotool', 'windowfocus', '--sync', str(wid)], check=False)
        d = display.Display()
        win = d.create_resource_object('window', wid)
        geo = win.get_geometry()
        width, height = geo.width, min(geo.height, 120)
        time.sleep(1.5)  # the shell settles

        def grab():
            return win.get_image(0, 0, width, height, X.ZPixmap, 0xffffffff).data

        codes = [d.keysym_to_keycode(XK.string_to_keysym('a')),
                 d.keysym_to_keycode(XK.string_to_keysym('BackSpace'))]
        samples = []
        for i in range(keys):
            before = grab()
            code = codes[i % 2]
            start = time.perf_counter()
            xtest.fake_input(d, X.KeyPress, code)
            xtest.fake_input(d, X.KeyRelease, code)
            d.flush()
            while grab() == before:
                if time.perf_counter() - start > 2.0:
                    break
            samples.append((time.perf_counter() - start) * 1000.0)
            time.sleep(0.02)
        samples.sort()
        p50 = samples[len(samples) // 2]
        p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))]
        print('%s keys=%d p50_ms=%.1f p99_ms=%.1f' % (name, keys, p50, p99))
    finally:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()


main()
