#!/usr/bin/env python3
# shell_tail.py [--size KIB] [--data text,random] [--every KIB|sub,...] [--sub BYTES]
#               [--paste] [--shell bash|zsh|dash] [--vi] [--no-paste-editor] [--locale L]
#
# What a shell does with the rest of a ZMODEM send when its rz has died: an
# interactive shell on a pty of its own is fed SIZE KiB of a data stream laid
# out as our sender writes it (subpackets of --sub bytes, control bytes
# escaped, a frame ended and a Ctrl+U before the next header every EVERY KiB,
# or after every subpacket ("sub"); 0: one frame, as before the Ctrl+U; with
# --paste each frame in a bracketed paste, an "S" after each mark), then our
# stop (the paste's end, CANs, Ctrl+G, Ctrl+E, Ctrl+U) and a command, typed
# again every 2 s until it answers. --vi puts the line editor in vi mode,
# --no-paste-editor makes bash's editor one that knows no paste. One line
# per case: how long until the command answered, the rate the shell ate the
# tail at, and whether any of the tail ran as a command. A case gives up
# after --limit seconds (a growing line takes minutes a MiB).
import argparse, fcntl, os, pty, random, select, shutil, signal, tempfile, time

ZDLE = 0x18


def escaped(data):
    out = bytearray()
    for b in data:
        if (b & 0x7F) < 0x20 or (b & 0x7F) == 0x7F:
            out += bytes([ZDLE, ord('l') if b == 0x7F else ord('m') if b == 0xFF else b ^ 0x40])
        else:
            out.append(b)
    return bytes(out)


def stream(size, text, every, sub=1024, paste=False):
    rnd = random.Random(1)
    line = b"The quick brown fox jumps over the lazy dog 0123456789.\n"
    body = (line * (size // len(line) + 1))[:size] if text else rnd.randbytes(size)
    out = bytearray()
    for at in range(0, size, sub):
        end = at + sub
        kill = every and end % every == 0
        crc = rnd.randbytes(2)  # the shell sees bytes, not their sum
        out += escaped(body[at:end]) + bytes([ZDLE]) + (b'h' if kill else b'i') + escaped(crc)
        if kill:
            out += (b'\x1b[201~S' if paste else b'') + b'\x15' + (b'\x1b[200~S' if paste else b'') + b'*' + bytes([ZDLE]) + b'A' + escaped(bytes([10]) + end.to_bytes(4, 'little') + crc)
    return bytes(out[:size])


def feed(tail, locale, limit, paste=False, setup=(), shell='bash'):
    home = tempfile.mkdtemp(prefix='hv_shell_tail_')
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.clear()
        os.environ.update({'PATH': '/usr/bin:/bin', 'TERM': 'xterm-256color', 'LANG': locale, 'HOME': home,
                           'PS1': 'READY$ '})
        if shell == 'bash':
            os.execvp('bash', ['bash', '--norc', '--noprofile', '-i'])
        os.environ['PS1'] = 'READY$ '
        os.execvp(shell, [shell, '-f', '-i'] if shell == 'zsh' else [shell, '-i'])
    seen = bytearray()
    try:
        start = time.monotonic()
        while b'READY$ ' not in seen and time.monotonic() - start < 10:
            if select.select([fd], [], [], 0.5)[0]:
                seen += os.read(fd, 65536)
        for line in setup:
            os.write(fd, line + b'\r')
            time.sleep(0.3)
            while select.select([fd], [], [], 0.1)[0]:
                os.read(fd, 65536)
        seen.clear()
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        # Our stop as it reaches the shell; the command once it is all
        # written, as a user types it (again every 2 s until it answers).
        payload = tail + (b'\x1b[201~S' if paste else b'') + b'\x18' * 8 + b'\x07\x05\x15'
        command = b'echo ANS$((6*7))\r'
        sent, start, typed = 0, time.monotonic(), None
        while b'ANS42' not in seen and time.monotonic() - start < limit:
            if sent >= len(payload) and (typed is None or time.monotonic() - typed > 2):
                typed = time.monotonic()
                payload += command
            r, w, _ = select.select([fd], [fd] if sent < len(payload) else [], [], 0.05)
            if w:
                try:
                    sent += os.write(fd, payload[sent:sent + 4096])
                except BlockingIOError:
                    pass
            if r:
                try:
                    seen += os.read(fd, 65536)
                except (BlockingIOError, OSError):
                    pass
        return time.monotonic() - start, min(sent, len(tail)), b'ANS42' in seen, seen.count(b'command not found')
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)
        shutil.rmtree(home, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--size', type=int, default=1024)
    p.add_argument('--data', default='text,random')
    p.add_argument('--every', default='0,1')
    p.add_argument('--locale', default='C.UTF-8')
    p.add_argument('--limit', type=float, default=120)
    p.add_argument('--sub', type=int, default=256)
    p.add_argument('--paste', action='store_true')
    p.add_argument('--vi', action='store_true', help='the editor in vi mode')
    p.add_argument('--shell', default='bash')
    p.add_argument('--no-paste-editor', action='store_true', help='bracketed paste off in the editor')
    a = p.parse_args()
    for data in a.data.split(','):
        for every in a.every.split(','):
            tail = stream(a.size << 10, data == 'text', a.sub if every == 'sub' else int(every) << 10, a.sub, a.paste)
            setup = ([b'set -o vi'] if a.vi else []) + ([b"bind 'set enable-bracketed-paste off'; bind -r '\\e[200~'"] if a.no_paste_editor else [])
            secs, ate, answered, ran = feed(tail, a.locale, a.limit, a.paste, [s.replace(b'set -o vi', b'bindkey -v') if a.shell == 'zsh' else s for s in setup], a.shell)
            print(f"shell={a.shell}{' vi' if a.vi else ''} data={data} size={a.size}KiB ctrl-u-every={every} "
                  f"{'pasted ' if a.paste else ''}locale={a.locale} "
                  f"answered={'yes' if answered else 'no'} after={secs:.2f}s ate={ate >> 10}KiB "
                  f"rate={ate / secs / 1024:.1f}KiB/s commands-run={ran}", flush=True)


if __name__ == '__main__':
    main()
