"""Whether this interpreter runs under a user-mode emulator, and which.

The kernel hands a program to an emulator when a binfmt_misc entry matches its first bytes:
this interpreter is emulated when an enabled entry matches its own executable. That is the
program the tests run, whatever processor the name of its architecture suggests. An emulator
translates system calls, and some of what the kernel does for a native program (address-space
limits, the memory a process is seen to use) it does not do the same way: tests that measure
those skip with `skip_under_emulator`.
"""

import os
import sys

import pytest

BINFMT = "/proc/sys/fs/binfmt_misc"


def _entry(path):
    """(interpreter, offset, magic, mask) of an enabled magic-number entry, else None."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    if not lines or lines[0] != "enabled":
        return None
    fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
    if "magic" not in fields:
        return None
    magic = bytes.fromhex(fields["magic"])
    mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
    return fields.get("interpreter", "?"), int(fields.get("offset", "0")), magic, mask


def emulator(executable=None):
    """The emulator that runs `executable` (this interpreter by default), or None."""
    try:
        names = os.listdir(BINFMT)
    except OSError:
        return None
    try:
        with open(executable or sys.executable, "rb") as f:
            head = f.read(256)
    except OSError:
        return None
    for name in sorted(names):
        if name in ("register", "status"):
            continue
        entry = _entry(os.path.join(BINFMT, name))
        if entry is None:
            continue
        interpreter, offset, magic, mask = entry
        got = head[offset:offset + len(magic)]
        if len(got) == len(magic) and all(g & m == w & m for g, w, m in zip(got, magic, mask)):
            return interpreter
    return None


EMULATOR = emulator()


def skip_under_emulator(why):
    """Skips a test whose check the emulator does not let hold; `why` says what it lacks."""
    return pytest.mark.skipif(
        EMULATOR is not None, reason=f"runs under the emulator {EMULATOR}: {why}")
