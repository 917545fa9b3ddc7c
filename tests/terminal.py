"""A pseudo-terminal for the child interpreters whose stderr the tests watch."""

import fcntl
import os
import pty
import select
import struct
import subprocess
import termios
import time

import pytest

BAR_VARIABLES = ("NO_COLOR", "TERM", "CLICOLOR", "CLICOLOR_FORCE")


def child_env(**changes):
    """This environment without the bar's variables, then `changes` (None removes)."""
    env = {k: v for k, v in os.environ.items() if k not in BAR_VARIABLES}
    env.update({"TERM": "xterm-256color", **changes})
    return {k: v for k, v in env.items() if v is not None}


def open_terminal(columns):
    parent, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    return parent, child


def read_until_closed(fd, process):
    """Everything the child writes to the terminal, until its last holder closes it."""
    chunks = []
    deadline = time.monotonic() + 120
    while True:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            process.kill()
            pytest.fail("the child did not finish")
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO: the child side is closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode()


def run_with_terminal_stderr(command, columns=80, env=None, cwd=None):
    """Runs `command` with standard error on a terminal of `columns` columns and standard output
    piped; returns the exit code, what reached the terminal and standard output."""
    parent, child = open_terminal(columns)
    process = subprocess.Popen(
        command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=child,
        env=child_env() if env is None else env, cwd=cwd,
    )
    os.close(child)
    shown = read_until_closed(parent, process)
    os.close(parent)
    stdout, _ = process.communicate(timeout=60)
    return process.returncode, shown, stdout.decode()
