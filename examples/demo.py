"""tovik demo: builds the module's database from real text and queries it."""
import platform
import sys

import tovik

print(f"{platform.python_implementation()} {sys.version.split()[0]}: loaded {tovik.__file__}")
