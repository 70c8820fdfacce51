#!/usr/bin/env python3
"""Records what mc sends when it starts and when F10 quits it, for the input
mode tests.

    record.py OUTDIR

mc runs without a subshell and without its user's settings, TERM=xterm,
80x24, in /. Writes mc_start.bin (up to the first full screen) and
mc_quit.bin (everything after F10)."""
import os, pty, select, sys, tempfile, time, fcntl, termios, struct


def read_for(fd, seconds, out):
    end = time.time() + seconds
    while time.time() < end:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(fd, 65536)
        except OSError:
            return
        if not data:
            return
        out += data


def main(outdir):
    home = tempfile.mkdtemp()
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir('/')
        os.execvpe('mc', ['mc', '-u'], {'TERM': 'xterm', 'HOME': home, 'PATH': '/usr/bin:/bin',
                                        'LANG': 'C.UTF-8', 'SHELL': '/bin/sh'})
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 80, 0, 0))
    start, quit = bytearray(), bytearray()
    read_for(fd, 3, start)
    os.write(fd, b'\x1b[21~')  # F10
    read_for(fd, 3, quit)
    os.waitpid(pid, 0)
    for name, data in (('mc_start.bin', start), ('mc_quit.bin', quit)):
        with open(os.path.join(outdir, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main(sys.argv[1])
