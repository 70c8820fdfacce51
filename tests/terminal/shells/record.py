#!/usr/bin/env python3
"""Records what bash and zsh send while a command line is edited, one file
per shell and edit, for the line-mode comparison with libvterm.

    record.py OUTDIR

Each shell runs without its user's start-up files, TERM=xterm, 40x12, in an
empty folder holding a few files for tab completion. Keys go in one at a time
with a pause so that every echo is complete before the next key."""
import os, sys, tempfile, fcntl, termios, struct, signal

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import ptyrecord

COLS, ROWS = 40, 12
UP, DOWN, LEFT, HOME = '\x1b[A', '\x1b[B', '\x1b[D', '\x01'
# name: keys (a list of strings; each goes in as one write)
EDITS = {
    'home_insert': list('echo ABCDEFGH') + [HOME, 'Q', '\r'],
    'left_backspace': list('echo abcdef') + [LEFT] * 3 + ['\x7f', '\r', 'echo next\r'],
    'recall_shorter': list('echo a-much-longer-line\r') + list('echo short\r') + [UP, UP, DOWN, '\r'],
    'ctrl_w': list('echo one two three') + ['\x17', '\r'],
    'ctrl_u': list('echo junk') + ['\x15'] + list('echo after\r'),
    'ctrl_k': list('echo keep drop') + [LEFT] * 5 + ['\x0b', '\r'],
    'history_search': list('echo findme\r') + list('echo other\r') + ['\x12'] + list('find') + ['\r'],
    'tab_listing': list('ls alp') + ['\t', '\t', '\t', '\x15', '\r'],
    'long_line': list('echo ' + 'abcdefghij' * 5) + [LEFT] * 12 + list('XYZ') + [HOME, '#', '\r'],
}

def record(shell, keys, folder):
    env = {'TERM': 'xterm', 'HOME': folder, 'PATH': '/usr/bin:/bin', 'LANG': 'C.UTF-8',
           'PS1': '$ ', 'ZDOTDIR': folder}
    argv = {'bash': ['bash', '--norc', '--noprofile', '-i'], 'zsh': ['zsh', '-i']}[shell]
    pid, fd = ptyrecord.spawn(argv, env, folder)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', ROWS, COLS, 0, 0))
    out = bytearray()

    def drain(quiet=0.25):
        out.extend(ptyrecord.read_quiet(fd, quiet))
    drain(0.8)
    for k in keys:
        os.write(fd, k.encode())
        drain()
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return bytes(out)

def main():
    outdir = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        for name in ('alpha1', 'alpha2', 'alphabet-soup', 'beta'):
            open(os.path.join(folder, name), 'w').close()
        with open(os.path.join(folder, '.zshrc'), 'w') as rc:
            rc.write("PS1='%% '\nautoload -Uz compinit\n")
        for shell in ('bash', 'zsh'):
            for name, keys in EDITS.items():
                with open(os.path.join(outdir, f'{shell}_{name}.bin'), 'wb') as f:
                    f.write(record(shell, keys, folder))

main()
