"""The module as the running interpreter sees it: the right build for this interpreter
and target, and integer arguments carried at their full 64-bit width.

A module compiled against another architecture's interpreter headers still imports,
but 64-bit integer conversions then keep only the low 32 bits: 2**32 reads as 0.
The range checks below catch that through the public surface."""

import os
import platform
import struct
import sysconfig

import pytest

import tovik

ELFCLASS32, ELFCLASS64 = 1, 2
EM_X86_64, EM_ARM, EM_AARCH64 = 62, 40, 183
EF_ARM_ABI_FLOAT_HARD = 0x400
U32_MAX = 2**32 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_module_file_carries_the_interpreters_own_suffix():
    # The most specific suffix, as an installer would name the file; a generic ".so"
    # would import under CPython but not under PyPy. A build tree holds tovik<suffix>;
    # an installed package holds tovik/__init__<suffix> beside its typing stub.
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    directory, name = os.path.split(tovik.__file__)
    assert name == "tovik" + suffix or (
        name == "__init__" + suffix and os.path.basename(directory) == "tovik")


# What the module's ELF header must say on the machine the interpreter reports: (class,
# machine, flags that must be set). 32-bit ARM must be the hard-float ABI.
ELF_BY_MACHINE = {
    "x86_64": (ELFCLASS64, EM_X86_64, 0),
    "armv7l": (ELFCLASS32, EM_ARM, EF_ARM_ABI_FLOAT_HARD),
    "aarch64": (ELFCLASS64, EM_AARCH64, 0),
}


def test_module_is_built_for_the_machine_the_interpreter_runs_on():
    with open(tovik.__file__, "rb") as f:
        header = f.read(52)
    elf_class, byte_order = header[4], header[5]
    (machine,) = struct.unpack_from("<H", header, 18)
    (flags,) = struct.unpack_from("<I", header, 48 if elf_class == ELFCLASS64 else 36)
    want_class, want_machine, want_flags = ELF_BY_MACHINE[platform.machine()]
    assert header[:4] == b"\x7fELF" and byte_order == 1  # little-endian
    assert (elf_class, machine) == (want_class, want_machine)
    assert flags & want_flags == want_flags
    assert struct.calcsize("P") * 8 == (32 if elf_class == ELFCLASS32 else 64)


needs_db = pytest.mark.skipif(not hasattr(tovik, "TovikDB"), reason="module has no TovikDB yet")


@pytest.fixture
def db(tmp_path):
    return tovik.TovikDB(str(tmp_path / "db"))


@needs_db
def test_largest_id_round_trips_or_fails_cleanly(db):
    # Per-id tables follow the highest id, so 2**32 slots may not fit in memory; then
    # the add must fail with MemoryError and leave nothing behind.
    try:
        db.add(U32_MAX, [1.0], "{}")
    except MemoryError:
        assert db.count() == 0
        db.add(0, [1.0], "{}")
        assert db.search([1.0], 1) == [(0, 1.0, "{}")]
    else:
        assert [hit[0] for hit in db.search([1.0], 1)] == [U32_MAX]
        assert db.count() == 2**32


@needs_db
@pytest.mark.parametrize("internal_id", [2**32, 2**32 + 5, 2**40])
def test_ids_past_32_bits_are_refused_not_truncated(db, internal_id):
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        db.add(internal_id, [1.0], "{}")
    assert db.count() == 0


@needs_db
def test_k_past_32_bits_is_refused(db):
    db.add(1, [1.0], "{}")
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        db.search([1.0], 2**32)


@needs_db
@pytest.mark.parametrize("ttl", [2**40, I64_MAX])
def test_ttl_takes_the_whole_signed_64_bit_range(db, ttl):
    # Both expiries lie far in the future; I64_MAX cut to 32 bits would be -1, an
    # expiry already past.
    db.add(0, [1.0], "{}", ttl)
    assert db.count() == 1


@needs_db
@pytest.mark.parametrize("ttl", [I64_MAX + 1, I64_MIN - 1])
def test_ttl_outside_signed_64_bits_is_refused(db, ttl):
    with pytest.raises(OverflowError):
        db.add(1, [1.0], "{}", ttl)


@needs_db
@pytest.mark.parametrize("ttl", [-(2**40), I64_MIN])
def test_ttl_far_in_the_past_expires_the_document(db, ttl):
    # Cut to its low 32 bits -2**40 would be 0, an expiry of "now" that the purge inside
    # count() keeps; I64_MIN must not wrap around into the future.
    db.add(0, [1.0], "{}", ttl)
    assert db.count() == 0
