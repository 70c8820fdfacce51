#!/usr/bin/env python3
"""Records programs drawing boxes with the DEC line-drawing set, for the
comparison of the terminal with libvterm.

    record.py OUTDIR

Each program runs in a pty of 40x12 without user start-up files. A file
holds one segment per step, in the format of resizes/record.py: a line
"@ COLSxROWS LENGTH" and the LENGTH bytes that came. The first segment is
what the program drew; for the full-screen programs the second is what
came after the key that ends them (the program leaving its screen)."""
import fcntl, os, signal, struct, sys, tempfile, termios

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import ptyrecord

COLS, ROWS = 40, 12

# A framed window with a crossing inside and a row of the other symbols that
# curses takes from the line-drawing set (not the less-equal and
# greater-equal signs: libvterm draws other glyphs for them).
CURSES_PROGRAM = r'''
import curses
def main(w):
    curses.curs_set(0)
    w.box()
    w.addstr(0, 2, " box ")
    w.hline(5, 1, curses.ACS_HLINE, 38)
    w.vline(1, 20, curses.ACS_VLINE, 10)
    w.addch(5, 20, curses.ACS_PLUS)
    w.addch(5, 0, curses.ACS_LTEE)
    w.addch(5, 39, curses.ACS_RTEE)
    w.addch(0, 20, curses.ACS_TTEE)
    syms = [curses.ACS_DIAMOND, curses.ACS_CKBOARD, curses.ACS_DEGREE, curses.ACS_PLMINUS,
            curses.ACS_BULLET, curses.ACS_PI, curses.ACS_NEQUAL, curses.ACS_STERLING,
            curses.ACS_S1, curses.ACS_S3, curses.ACS_S7, curses.ACS_S9]
    for i, s in enumerate(syms):
        w.addch(2, 2 + i, s)
    w.addstr(3, 2, "plain qx")
    w.refresh()
    while w.getch() != ord('q'):
        pass
curses.wrapper(main)
'''

def programs(folder):
    for name in ('alpha.txt', 'beta.log'):
        with open(os.path.join(folder, name), 'w') as f:
            f.write('x\n')
    script = os.path.join(folder, 'box.py')
    with open(script, 'w') as f:
        f.write(CURSES_PROGRAM)
    # The text inside the box in ASCII again, as a program writes it.
    box = 'printf "lqqqqk\\nx"; tput rmacs; printf " ab "; tput smacs; printf "x\\nmqqqqj\\n"'
    return {
        # G0 by ESC ( 0 and ESC ( B.
        'curses_xterm': (['python3', script], 'xterm', 'C.UTF-8', ['q']),
        # G1 designated once, chosen by SO and SI (curses keeps to them
        # only outside a UTF-8 locale).
        'curses_screen': (['python3', script], 'screen', 'C', ['q']),
        # A file manager's panels (no subshell, no mouse; F10 leaves).
        'mc': (['mc', '-u', '-d', '--nosubshell', folder], 'xterm', 'C', ['\x1b[21~']),
        # Boxes without the alternate screen, from a shell script.
        'tput_xterm': (['sh', '-c', 'tput smacs; %s; tput rmacs; echo after qx' % box], 'xterm', 'C.UTF-8', []),
        'tput_vt100': (['sh', '-c', 'tput enacs; tput smacs; %s; tput rmacs; echo after qx' % box],
                       'vt100', 'C', []),
    }

def record(argv, term, lang, keys, folder):
    # Python would take a C locale for UTF-8 on its own.
    env = {'TERM': term, 'HOME': folder, 'PATH': '/usr/bin:/bin', 'LC_ALL': lang, 'PYTHONCOERCECLOCALE': '0',
           'PYTHONUTF8': '0'}
    pid, fd = ptyrecord.spawn(argv, env, folder)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', ROWS, COLS, 0, 0))
    segments = [ptyrecord.read_quiet(fd, 1.5)]
    for k in keys:
        os.write(fd, k.encode())
        segments.append(ptyrecord.read_quiet(fd, 0.8))
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.waitpid(pid, 0)
    return segments

def main():
    outdir = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        for name, (argv, term, lang, keys) in programs(folder).items():
            with open(os.path.join(outdir, name + '.bin'), 'wb') as f:
                for data in record(argv, term, lang, keys, folder):
                    f.write(b'@ %dx%d %d\n' % (COLS, ROWS, len(data)))
                    f.write(data)

main()
