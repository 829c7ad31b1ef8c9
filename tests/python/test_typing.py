"""The typing stub agrees with the module at run time, and the examples type-check
strictly against it. Needs mypy (skipped without it, as under PyPy or emulation)."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
import tovik  # noqa: E402

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
STUB_DIR = os.path.abspath(os.path.join(ROOT, "python"))


def mypy_env():
    """An installed package carries its stub beside the module (found through
    py.typed); a build tree on PYTHONPATH has only the module, so point at the source."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(tovik.__file__))
    if os.path.exists(os.path.join(module_dir, "__init__.pyi")):
        import_root = os.path.dirname(module_dir)
    else:
        import_root = module_dir
        env["MYPYPATH"] = STUB_DIR
    # The same module for the child, whatever the working directory.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [import_root, env.get("PYTHONPATH")]))
    return env


def run_mypy(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *args],
        env=mypy_env(), cwd=ROOT, capture_output=True, text=True)


def test_stub_matches_the_module(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tovik"],
                          env=mypy_env(), cwd=str(tmp_path), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check_strictly(tmp_path):
    pytest.importorskip("numpy")  # bulk_load.py imports it
    done = run_mypy(tmp_path, "--strict", "examples")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_refuses_what_the_module_refuses(tmp_path):
    snippet = tmp_path / "misuse.py"
    snippet.write_text(
        "import tovik\n"
        "db = tovik.TovikDB('db')\n"
        "db.add(0, 'text', '{}')\n"  # a str is no vector
        "db.search([1.0], 1, include_metadata=1)\n"  # only a bool
        "db.delete({'a': 1})\n"  # filters are JSON text
        "n: str = db.count()\n"  # an int
        "db.add(0, (1, 2.5), '{}', ttl=None)\n"  # fine: numbers of any kind
        "hits: list[tuple[int, float, str]] = db.build_results([(1, 0.5)], False)\n")
    done = run_mypy(tmp_path, "--strict", str(snippet))
    flagged = sorted(int(line.split(":")[1]) for line in done.stdout.splitlines()
                     if line.startswith(str(snippet)) and ": error:" in line)
    assert flagged == [3, 4, 5, 6], done.stdout
