#!/usr/bin/env python3
"""Records what full-screen programs send while their terminal is resized,
for the comparison of the screen grid with libvterm.

    record.py OUTDIR

Each program runs in a pty (TERM=xterm, no user start-up files). Its output
is read until it has been quiet for a while, then the pty gets the next size
(the kernel sends SIGWINCH) and the reading goes on. A file holds one
segment per size: a line "@ COLSxROWS LENGTH" and the LENGTH bytes that came
at that size. Keys typed between sizes come with the segment of the size
they were typed at."""
import fcntl, os, signal, struct, sys, tempfile, termios

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import ptyrecord

# Shrink both ways, shrink the height only, grow: the steps of the window.
SIZES = [(100, 30), (80, 20), (80, 14), (120, 40)]

CURSES_PROGRAM = r'''
import curses
# A frame on the screen's edges (plain characters: the grid has no line-drawing
# set), text on the last rows and a character in the last cell, drawn again
# at each size.
def main(w):
    curses.curs_set(0)
    while True:
        w.erase()
        h, c = w.getmaxyx()
        w.border("|", "|", "-", "-", "+", "+", "+", "+")
        w.addstr(1, 2, "size %dx%d" % (c, h))
        w.addstr(h // 2, max(1, c // 2 - 6), "middle of it")
        w.addstr(h - 2, 2, "bottom line")
        try:
            w.insstr(h - 1, c - 1, "#")
        except curses.error:
            pass
        w.refresh()
        if w.getch() == ord('q'):
            break
curses.wrapper(main)
'''

def programs(folder):
    lines = os.path.join(folder, 'lines.txt')
    with open(lines, 'w') as f:
        for i in range(1, 201):
            f.write('line %03d of the file %s\n' % (i, '-' * (i % 70)))
    script = os.path.join(folder, 'box.py')
    with open(script, 'w') as f:
        f.write(CURSES_PROGRAM)
    vim = ['vim', '-u', 'NONE', '-N', '-i', 'NONE', '-n',
           '--cmd', 'set ruler laststatus=2 showcmd t_RV= t_u7=', lines]
    return {
        # The cursor far below the middle, so that a shrink must move it.
        'vim': (vim, ['25G', '$']),
        'curses': (['python3', script], []),
    }

def record(argv, keys, folder):
    env = {'TERM': 'xterm', 'HOME': folder, 'PATH': '/usr/bin:/bin', 'LANG': 'C.UTF-8'}
    pid, fd = ptyrecord.spawn(argv, env, folder)

    def setsize(cols, rows):
        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', rows, cols, 0, 0))

    def drain(quiet=0.6):
        return ptyrecord.read_quiet(fd, quiet)

    setsize(*SIZES[0])
    segments = []
    first = drain(1.5)
    for k in keys:
        os.write(fd, k.encode())
        first += drain(0.3)
    segments.append((SIZES[0], first))
    for size in SIZES[1:]:
        setsize(*size)
        segments.append((size, drain()))
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return segments

def main():
    outdir = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        for name, (argv, keys) in programs(folder).items():
            with open(os.path.join(outdir, name + '.bin'), 'wb') as f:
                for (cols, rows), data in record(argv, keys, folder):
                    f.write(b'@ %dx%d %d\n' % (cols, rows, len(data)))
                    f.write(data)

main()
