import importlib
import sys

import tovik


def test_module_loads_once():
    again = importlib.import_module("tovik")
    assert again is tovik
    assert sys.modules["tovik"] is tovik
