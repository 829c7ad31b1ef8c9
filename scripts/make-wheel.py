#!/usr/bin/env python3
"""Assembles an installable wheel around a module that is already built, typically a
cross-built one that no installer on this machine could build itself.

    make-wheel.py --tag cp311-cp311-linux_armv7l --out DIR [--strip TOOL]
                  [--license NAME=FILE ...] MODULE

MODULE is the built extension, named tovik + its interpreter's suffix (for example
tovik.cpython-311-arm-linux-gnueabihf.so). The wheel installs the package `tovik/`:
the module as its __init__, the typing stub and py.typed, exactly the layout that
`pip install .` produces. Name, version and the rest of the metadata come from
pyproject.toml; the long description is README.md.

The wheel loads CRoaring from the system, as the module was linked; build-wheels.sh
hands it to auditwheel, which bundles the library and sets the final platform tag.
"""
import argparse
import base64
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB_DIR = os.path.join(HERE, "python", "tovik")
# Fixed timestamps keep the wheel reproducible (zip cannot store dates before 1980).
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def project_field(text, key):
    """A string field of the [project] table; enough TOML for this one file."""
    section = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    match = section and re.search(r'^%s\s*=\s*"([^"]*)"' % re.escape(key), section.group(1), re.M)
    if not match:
        sys.exit("make-wheel: pyproject.toml has no [project] %s" % key)
    return match.group(1)


def metadata(pyproject):
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    fields = [
        ("Metadata-Version", "2.1"),
        ("Name", project_field(pyproject, "name")),
        ("Version", project_field(pyproject, "version")),
        ("Summary", project_field(pyproject, "description")),
        ("Requires-Python", project_field(pyproject, "requires-python")),
        ("License", re.search(r'^license\s*=\s*\{\s*text\s*=\s*"([^"]*)"', pyproject, re.M).group(1)),
        ("Description-Content-Type", "text/markdown"),
    ]
    return "".join("%s: %s\n" % kv for kv in fields) + "\n" + readme


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def module_bytes(path, strip):
    """The module's bytes, without debug information when a strip tool is given."""
    if not strip:
        with open(path, "rb") as f:
            return f.read()
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "module.so")
        subprocess.run([strip, "--strip-debug", "-o", out, path], check=True)
        with open(out, "rb") as f:
            return f.read()


def build_wheel(module, tag, out_dir, strip, licenses=()):
    base = os.path.basename(module)
    if not base.startswith("tovik.") or not base.endswith(".so"):
        sys.exit("make-wheel: %s is not named tovik<EXT_SUFFIX>" % module)
    suffix = base[len("tovik"):]
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        pyproject = f.read()
    name, version = project_field(pyproject, "name"), project_field(pyproject, "version")
    dist_info = "%s-%s.dist-info" % (name, version)
    with open(os.path.join(STUB_DIR, "__init__.pyi"), "rb") as f:
        stub = f.read()
    with open(os.path.join(STUB_DIR, "py.typed"), "rb") as f:
        typed = f.read()
    wheel_file = "Wheel-Version: 1.0\nGenerator: tovik make-wheel\nRoot-Is-Purelib: false\nTag: %s\n" % tag
    files = [
        ("tovik/__init__" + suffix, module_bytes(module, strip)),
        ("tovik/__init__.pyi", stub),
        ("tovik/py.typed", typed),
        (dist_info + "/METADATA", metadata(pyproject).encode()),
        (dist_info + "/WHEEL", wheel_file.encode()),
    ]
    for license_name, path in licenses:
        with open(path, "rb") as f:
            files.append((dist_info + "/licenses/" + license_name, f.read()))
    record = "".join(record_line(n, d) for n, d in files) + dist_info + "/RECORD,,\n"
    files.append((dist_info + "/RECORD", record.encode()))

    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "%s-%s-%s.whl" % (name, version, tag))
    with zipfile.ZipFile(target + ".tmp", "w", zipfile.ZIP_DEFLATED) as zf:
        for arcname, data in files:
            info = zipfile.ZipInfo(arcname, ZIP_DATE)
            info.external_attr = (0o755 if arcname.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
    os.replace(target + ".tmp", target)
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module")
    parser.add_argument("--tag", required=True, help="python-abi-platform, e.g. cp311-cp311-linux_armv7l")
    parser.add_argument("--out", required=True)
    parser.add_argument("--strip", help="strip tool for the module's architecture")
    parser.add_argument("--license", action="append", default=[], metavar="NAME=FILE",
                        help="a licence text to ship as .dist-info/licenses/NAME, for what the wheel bundles")
    args = parser.parse_args()
    if args.tag.count("-") != 2:
        sys.exit("make-wheel: a tag reads python-abi-platform, not %r" % args.tag)
    licenses = [tuple(item.split("=", 1)) for item in args.license]
    if any(len(item) != 2 or not item[0] for item in licenses):
        sys.exit("make-wheel: --license takes NAME=FILE")
    print(build_wheel(args.module, args.tag, args.out, args.strip, licenses))


if __name__ == "__main__":
    main()
