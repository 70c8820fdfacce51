"""What the recorders below this folder share: a program started in a pty,
and its output read until it has been quiet for a while."""
import os, pty, select, time


def spawn(argv, env, folder):
    """Runs argv in folder on a new pty; returns (pid, fd of the master)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execvpe(argv[0], argv, env)
    return pid, fd


def read_quiet(fd, quiet):
    """The bytes that come until nothing has come for `quiet` seconds."""
    out = bytearray()
    end = time.time() + quiet
    while time.time() < end:
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            out.extend(data)
            end = time.time() + quiet
    return bytes(out)
