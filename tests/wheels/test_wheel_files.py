"""The built wheels as files: one per interpreter and architecture, each carrying its
own CRoaring and nothing else beyond the C and C++ runtimes, each tagged with the most
portable platform its symbol versions make true.

The ELF facts are read here with pyelftools, independently of the tool that repaired the
wheels; only the manylinux policy table (which versions each glibc era provides) is
taken from auditwheel, as the reference both sides agree on."""

import io
import json
import os
import re
import zipfile

import auditwheel.policy
import pytest
from elftools.elf.elffile import ELFFile

HERE = os.path.dirname(os.path.abspath(__file__))
WHEELS = os.environ.get("TOVIK_WHEELS", os.path.join(HERE, "..", "..", "build", "wheels"))


def targets():
    """(python-abi tag, machine, glibc minor of the release) for every interpreter of
    every line of scripts/targets.txt that this machine builds for."""
    with open(os.path.join(HERE, "..", "..", "scripts", "targets.txt"), encoding="utf-8") as f:
        rows = [line.split() for line in f if line.strip() and not line.startswith("#")]
    # Only the releases whose C library is not older than the build machine's: a module
    # linked against a newer one cannot load on them (scripts/targets.sh).
    host = tuple(int(x) for x in os.confstr("CS_GNU_LIBC_VERSION").split()[1].split("."))
    return [(tag, row[5], int(row[2].split(".")[1])) for row in rows for tag in row[8:10]
            if tuple(int(x) for x in row[2].split(".")) >= host]


TARGETS = targets()
MACHINE = {"x86_64": "EM_X86_64", "armv7l": "EM_ARM", "aarch64": "EM_AARCH64"}
# What every glibc system has; manylinux assumes libstdc++ and libgcc_s too.
RUNTIMES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0",
            "ld-linux-x86-64.so.2", "ld-linux-armhf.so.3", "ld-linux-aarch64.so.1"}
TAG = re.compile(r"tovik-[^-]+-(?P<pyabi>[^-]+-[^-]+)-(?:manylinux_2_(?P<minor>\d+)|linux)_(?P<arch>\w+)\.whl")


def wheel_files():
    return sorted(f for f in os.listdir(WHEELS) if f.endswith(".whl")) if os.path.isdir(WHEELS) else []


def elf_facts(data):
    """(machine, needed libraries, run path, version names needed) of an ELF image."""
    elf = ELFFile(io.BytesIO(data))
    dynamic = elf.get_section_by_name(".dynamic")
    needed = [t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    # auditwheel writes DT_RPATH, which the loader also applies to the module's own
    # dependencies; either tag is a run path.
    runpath = [t.rpath if t.entry.d_tag == "DT_RPATH" else t.runpath
               for t in dynamic.iter_tags() if t.entry.d_tag in ("DT_RPATH", "DT_RUNPATH")]
    versions = set()
    verneed = elf.get_section_by_name(".gnu.version_r")
    if verneed is not None:
        for _, aux in verneed.iter_versions():
            versions.update(a.name for a in aux)
    return elf["e_machine"], needed, runpath, versions


def unpack(name):
    """The tag's parts, the module's ELF facts and the bundled libraries' (by name)."""
    match = TAG.fullmatch(name)
    assert match, "%s: not tagged manylinux_2_X_<arch> or linux_<arch>" % name
    with zipfile.ZipFile(os.path.join(WHEELS, name)) as zf:
        names = [n for n in zf.namelist() if not n.endswith("/")]
        modules = [n for n in names if re.fullmatch(r"tovik/__init__\..+\.so", n)]
        assert len(modules) == 1, names
        libs = {n: elf_facts(zf.read(n)) for n in names if n.startswith("tovik.libs/")}
        return match, names, elf_facts(zf.read(modules[0])), libs


def test_one_wheel_per_interpreter_and_architecture():
    found = [TAG.fullmatch(n) for n in wheel_files()]
    assert all(found), wheel_files()
    assert sorted((m["pyabi"], m["arch"]) for m in found) == sorted(t[:2] for t in TARGETS)


@pytest.mark.parametrize("name", wheel_files())
def test_wheel_carries_croaring_and_points_the_module_at_it(name):
    match, names, module, libs = unpack(name)
    assert len(libs) == 1, names
    (lib_path, (lib_machine, lib_needed, _, _)), = libs.items()
    lib = os.path.basename(lib_path)
    assert re.fullmatch(r"libroaring-[0-9a-f]{8}\.so\.0(\.\d+)*", lib)
    machine, needed, runpath, _ = module
    assert machine == lib_machine == MACHINE[match["arch"]]
    assert lib in needed and set(needed) - {lib} <= RUNTIMES
    assert runpath == ["$ORIGIN/../tovik.libs"]
    assert set(lib_needed) <= RUNTIMES
    assert {"tovik/__init__.pyi", "tovik/py.typed", "tovik-0.1.0.dist-info/licenses/CRoaring.copyright",
            "tovik-0.1.0.dist-info/licenses/Apache-2.0"} <= set(names)


def policies(arch):
    path = os.path.join(os.path.dirname(auditwheel.policy.__file__), "manylinux-policy.json")
    with open(path, encoding="utf-8") as f:
        table = json.load(f)
    found = []
    for policy in table:
        match = re.fullmatch(r"manylinux_2_(\d+)", policy["name"])
        if match and arch in policy["symbol_versions"]:
            found.append((int(match.group(1)), policy["symbol_versions"][arch]))
    return sorted(found)


@pytest.mark.parametrize("name", wheel_files())
def test_platform_tag_is_the_oldest_glibc_era_that_has_every_version_needed(name):
    match, _, module, libs = unpack(name)
    needed = set(module[3]).union(*(facts[3] for facts in libs.values()))
    glibc = max(int(v.split(".")[1]) for v in needed if v.startswith("GLIBC_2."))

    def admits(provided):  # the table lists "CXXABI_ARM_1.3.3" as CXXABI: "ARM_1.3.3"
        return all(v.split("_", 1)[1] in provided.get(v.split("_", 1)[0], ()) for v in needed)

    eras = [minor for minor, provided in policies(match["arch"]) if admits(provided)]
    if not eras:  # no manylinux promise holds: only the plain architecture tag is true
        assert match["minor"] is None, needed
        return
    assert match["minor"] is not None and int(match["minor"]) == min(eras) >= glibc, eras
    # ...and one that the release the wheel is for has.
    (board_glibc,) = [glibc for tag, arch, glibc in TARGETS if (tag, arch) == (match["pyabi"], match["arch"])]
    assert int(match["minor"]) <= board_glibc
