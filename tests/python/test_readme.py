"""The README's code runs as written: every ```python block, in order, in one namespace
(later blocks use what earlier ones defined), from a scratch working directory."""

import os
import re
import traceback

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)


def fenced_blocks():
    with open(README, encoding="utf-8") as f:
        return [(lang, body) for lang, body in FENCE.findall(f.read())]


def test_set_up_commands_come_first():
    lang, body = fenced_blocks()[0]
    commands = [line.split("#")[0].strip() for line in body.splitlines()]
    assert (lang, commands) == ("sh", ["make demo", "make test"])


def test_python_blocks_run_in_order(tmp_path, monkeypatch, capfd):
    blocks = [body for lang, body in fenced_blocks() if lang == "python"]
    assert len(blocks) >= 5, "the README lost its examples"
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for number, body in enumerate(blocks, 1):
        try:
            exec(compile(body, "README.md python block %d" % number, "exec"), namespace)
        except Exception:  # name the block and the line that failed
            pytest.fail("README python block %d:\n%s" % (number, traceback.format_exc()))
    # The quickstart's database holds its metadata file and nothing else.
    assert sorted(os.listdir(tmp_path / "quickstart-db")) == ["metadata.bin"]
