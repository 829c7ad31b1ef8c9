import math
import os
import platform
import shlex
import struct
import sys

import pytest


def f32(x):
    """Rounds a Python float to the nearest float32, as the database stores it."""
    return struct.unpack("f", struct.pack("f", x))[0]


def cosine_score(q, v):
    """The raw-mode score of equal-length vectors, with the database's exact arithmetic:
    float32 sums in index order, each product rounded first, finished in float64."""
    q = [f32(x) for x in q]
    v = [f32(x) for x in v]
    ab = a2 = b2 = 0.0
    for a, b in zip(q, v):
        a2 = f32(a2 + f32(a * a))
        ab = f32(ab + f32(a * b))
        b2 = f32(b2 + f32(b * b))
    if a2 == 0.0 and b2 == 0.0:
        distance = 0.0
    elif ab == 0.0:
        distance = 1.0
    else:
        r = 1.0 - (ab * (1.0 / math.sqrt(a2))) * (1.0 / math.sqrt(b2))
        distance = r if r > 0.0 else 0.0
    return f32(1.0 - distance)


def python_command():
    """The command that starts this interpreter in a child process: under emulation the
    runner says how (TOVIK_PYTHON_CMD), since the interpreter cannot be run directly."""
    cmd = os.environ.get("TOVIK_PYTHON_CMD")
    return shlex.split(cmd) if cmd else [sys.executable]


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    import tovik

    return tovik.TovikDB(db_path)


cpython_only = pytest.mark.skipif(
    platform.python_implementation() != "CPython",
    reason="text signatures and reference counts are CPython-only",
)
