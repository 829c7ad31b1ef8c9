"""Vectors given as buffer-exporting objects (float arrays, memoryviews) must behave
exactly like the same numbers given as a list: same stored values, same scores, same
errors; every other object keeps the item-by-item path."""
import array
import pytest

from conftest import cosine_score

try:
    import numpy as np
except ImportError:  # PyPy hosts may have no numpy
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

def strided_memoryview(code):
    def make(values):
        interleaved = array.array(code, [x for v in values for x in (v, 99.0)])
        return memoryview(interleaved)[::2]
    return make


def reversed_memoryview(code):
    return lambda values: memoryview(array.array(code, values[::-1]))[::-1]


def numpy_strided(dtype):
    def make(values):
        padded = np.full(len(values) * 3, 99.0, dtype=dtype)
        padded[::3] = values
        return padded[::3]
    return make


def numpy_reversed(dtype):
    return lambda values: np.array(values[::-1], dtype=dtype)[::-1]


def numpy_kind(name, make):
    """A kind built on numpy: `make()` gives the maker once numpy is known to exist."""
    return (name, lambda v: make()(v), needs_numpy)


# (name, maker): every maker gives an object holding the given numbers in order.
FLOAT_KINDS = [
    ("tuple", tuple),
    ("array-f", lambda v: array.array("f", v)),
    ("array-d", lambda v: array.array("d", v)),
    ("memoryview-f", lambda v: memoryview(array.array("f", v))),
    ("memoryview-d", lambda v: memoryview(array.array("d", v))),
    ("memoryview-d-strided", strided_memoryview("d")),
    ("memoryview-f-reversed", reversed_memoryview("f")),
    numpy_kind("numpy-float32", lambda: lambda v: np.array(v, dtype=np.float32)),
    numpy_kind("numpy-float64", lambda: lambda v: np.array(v, dtype=np.float64)),
    numpy_kind("numpy-float64-strided", lambda: numpy_strided(np.float64)),
    numpy_kind("numpy-float32-reversed", lambda: numpy_reversed(np.float32)),
    numpy_kind("numpy-big-endian", lambda: lambda v: np.array(v, dtype=">f8")),
    numpy_kind("numpy-float16", lambda: lambda v: np.array(v, dtype=np.float16)),
]

# Buffers of other formats, and bytes: still read item by item, as integers.
INT_KINDS = [
    ("bytes", lambda v: bytes(v)),
    ("bytearray", lambda v: bytearray(v)),
    ("array-i", lambda v: array.array("i", v)),
    ("memoryview-b", lambda v: memoryview(array.array("b", v))),
    numpy_kind("numpy-int32", lambda: lambda v: np.array(v, dtype=np.int32)),
]

FLOATS = (
    [0.1, -2.5, 1.0 / 3.0, 7.0, 1e-3, -0.75, 3.141592653589793, 0.0],
    [1.5, 0.2, -0.3, 2.0, -1.0, 0.6, 0.7, -0.9],
    [0.3, 1.0, -0.2, 0.5, 0.25, -1.5, 0.9, 2.0],
)
INTS = (
    [3, 1, 4, 1, 5, 9, 2, 6],
    [2, 7, 1, 8, 2, 8, 1, 8],
    [1, 4, 1, 4, 2, 1, 3, 5],
)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the comparison covers the error type and message
        return (type(e).__name__, str(e))


def run_scenario(path, vec, values, other, query):
    """Adds, searches and mismatches with `vec` applied to the inputs; returns every
    observable outcome."""
    import tovik

    db = tovik.TovikDB(str(path))
    return [
        outcome(lambda: db.add(1, vec(values), "{}")),
        outcome(lambda: db.add(2, vec(other), '{"b": 1}')),
        outcome(lambda: db.add(3, vec(query), "{}")),
        outcome(lambda: db.search(vec(query), 3, include_metadata=False)),
        outcome(lambda: db.search(vec(values), 2, '{"b": 1}')),
        outcome(lambda: db.add(4, vec(values[:3]), "{}")),
        outcome(lambda: db.search(vec(values[:5]), 1)),
        outcome(lambda: db.search(vec([]), 1)),
    ]


def kind_params(kinds, numbers):
    return [pytest.param(k[0], k[1], numbers, id=k[0], marks=k[2:]) for k in kinds]


@pytest.mark.parametrize("kind, make, numbers", kind_params(FLOAT_KINDS, FLOATS) + kind_params(INT_KINDS, INTS))
def test_every_vector_kind_behaves_like_the_list_of_its_values(tmp_path, kind, make, numbers):
    # What the kind actually holds (float16 narrows the numbers).
    held = [[float(x) for x in make(v)] for v in numbers]
    reference = run_scenario(tmp_path / "list", list, *held)
    assert run_scenario(tmp_path / kind, make, *numbers) == reference

    # The reference itself: stored values are the float32 roundings of the numbers.
    status, results = reference[3]
    assert status == "ok"
    scores = {i: s for i, s, _ in results}
    assert scores[1] == cosine_score(held[2], held[0])
    assert scores[2] == cosine_score(held[2], held[1])
    assert reference[5][0] == "ValueError"


class NoItems(array.array):
    """A float array whose item-by-item access fails: only its buffer can be read."""

    def __iter__(self):
        raise AssertionError("iterated")

    def __getitem__(self, i):
        raise AssertionError("indexed")


def test_float_buffers_are_read_from_memory_not_item_by_item(db):
    values, _, query = FLOATS
    db.add(1, memoryview(NoItems("d", values)), "{}")
    [(i, score, _)] = db.search(memoryview(NoItems("f", query)), 1)
    assert (i, score) == (1, cosine_score(query, values))


def fives(base):
    """A subclass of `base` whose iteration yields 5.0 for every item it holds."""
    return type("Fives", (base,), {"__iter__": lambda self: iter([5.0] * len(self))})


SUBCLASSES = [
    ("array-d", lambda v: fives(array.array)("d", v)),
    ("array-f", lambda v: fives(array.array)("f", v)),
    numpy_kind("numpy", lambda: lambda v: np.array(v, dtype=np.float64).view(fives(np.ndarray))),
]


@pytest.mark.parametrize("kind, make", [pytest.param(k[0], k[1], id=k[0], marks=k[2:]) for k in SUBCLASSES])
@pytest.mark.parametrize("role", ["vector", "query"])
def test_a_subclass_is_the_items_its_iteration_yields(db, kind, make, role):
    """The buffer stands for the sequence only for types whose iteration yields the
    buffer's items; a subclass may iterate otherwise."""
    given = make([1.0, 2.0])
    if role == "vector":
        db.add(0, given, "{}")
        [(_, score, _)] = db.search([1.0, 0.0], 1)
    else:
        db.add(0, [1.0, 0.0], "{}")
        [(_, score, _)] = db.search(given, 1)
    assert score == cosine_score([5.0, 5.0], [1.0, 0.0]) != cosine_score([1.0, 2.0], [1.0, 0.0])


@pytest.mark.parametrize("fail", [False, True], ids=["accepted", "refused"])
def test_buffers_are_released_after_the_call(db, fail):
    db.add(1, [1.0, 2.0, 3.0], "{}")
    vec = array.array("d", [1.0, 2.0] if fail else [1.0, 2.0, 4.0])
    view = memoryview(vec)
    added = outcome(lambda: db.add(2, view, "{}"))
    assert added[0] == ("ValueError" if fail else "ok")
    outcome(lambda: db.search(view, 1))
    view.release()  # BufferError if an export were still held
    vec.append(5.0)  # resizing needs every export released


@pytest.mark.parametrize("shape", ["2-D", "0-D"])
@needs_numpy
def test_other_array_shapes_keep_the_item_path_and_its_errors(db, shape):
    vec = np.ones((2, 3), dtype=np.float32) if shape == "2-D" else np.float64(1.0).reshape(())
    with pytest.raises(TypeError) as err:
        db.add(1, vec, "{}")
    assert str(err.value).startswith("argument 'vector': ")
    assert db.count() == 0


def test_multi_dimensional_memoryview_keeps_the_item_path(db):
    view = memoryview(array.array("f", [1.0, 2.0, 3.0, 4.0])).cast("B").cast("f", [2, 2])
    item_by_item = outcome(lambda: [float(x) for x in view])
    got = outcome(lambda: db.add(1, view, "{}"))
    assert item_by_item[0] != "ok"
    assert got[0] == item_by_item[0]
    assert db.count() == 0
