import platform
from pathlib import Path

import pytest

import tovik

ROOT = Path(__file__).resolve().parents[2]

# Tests that rely on what the database does (not only on argument and result
# conversion) need the real core compiled into the module.
needs_core = pytest.mark.skipif(
    not (ROOT / "src" / "core.cpp").exists(), reason="database core not built in"
)
cpython_only = pytest.mark.skipif(
    platform.python_implementation() != "CPython",
    reason="text signatures and reference counts are CPython-only",
)


@pytest.fixture
def db(tmp_path):
    return tovik.TovikDB(str(tmp_path / "db"))
