"""Plain lists and tuples of floats and ints are converted in one step; every other
sequence goes item by item. Each case runs the same input as a plain list or tuple and
as a list subclass (which never takes the one-step route), and the two must agree on
values, errors (with their argument prefix and cause) and the hook calls made."""
import random
import struct
import sys

import pytest


class General(list):
    """The same items, but not a plain list: always converted item by item."""


class Hook:
    """A number through __float__ / __index__ that logs each call."""

    def __init__(self, log, value, mutate=None):
        self.log, self.value, self.mutate = log, value, mutate

    def __float__(self):
        self.log.append(("float", self.value))
        if self.mutate:
            self.mutate()
        return float(self.value)

    def __index__(self):
        self.log.append(("index", self.value))
        return int(self.value)


class F(float):
    pass


class I(int):
    pass


def observe(call):
    """Result or (error type, message, cause type, cause message)."""
    try:
        return ("ok", call())
    except Exception as e:  # the comparison covers type, text and cause
        cause = e.__cause__
        return (type(e).__name__, str(e), type(cause).__name__, str(cause) if cause else None)


def bits(values):
    return [struct.pack("<d", v) if isinstance(v, float) else v for v in values]


F32_TINY = struct.unpack("f", struct.pack("I", 1))[0]  # smallest subnormal float32
SPECIAL = [0.0, -0.0, float("inf"), float("-inf"), float("nan"), 1e300, -1e-300, F32_TINY,
           2 ** 53 + 1, -(2 ** 63), 2 ** 63, 2 ** 64 + 1, 2 ** 31, 10 ** 30, True, F(0.5), I(7)]
RNG = random.Random(7)
RANDOM = [[RNG.choice(SPECIAL + [RNG.uniform(-5, 5), RNG.randint(-10 ** 6, 10 ** 6)])
           for _ in range(RNG.randint(1, 9))] for _ in range(60)]
BAD = [[1.0, "x"], [1.0, None], [2, 2 ** 1100], [[1.0]], [1.0, b"1"]]


def vector_scenario(db_path, tag, make, items):
    """Stores `items` and probes them with unit vectors: each score pins one stored value."""
    import tovik

    db = tovik.TovikDB(db_path + tag)
    n = len(items)
    steps = [observe(lambda: db.add(0, make(items), "{}"))]
    for j in range(n):
        unit = [0.0] * n
        unit[j] = 1.0
        db.add(j + 1, unit, "{}")
    for j in range(n):
        steps.append(observe(lambda: bits([s for _, s, _ in db.search(make(items), n + 1, include_metadata=False)])))
    return steps


@pytest.mark.parametrize("items", RANDOM + BAD, ids=lambda v: repr(v)[:40])
@pytest.mark.parametrize("plain", [list, tuple])
def test_vectors_convert_like_the_general_path(db_path, plain, items):
    assert vector_scenario(db_path, "p", plain, items) == vector_scenario(db_path, "g", General, items)


def test_errors_keep_the_argument_prefix_and_cause(db):
    got = observe(lambda: db.add(0, [1.0, "x"], "{}"))
    assert got[0] == "TypeError" and got[1].startswith("argument 'vector': ") and got[2] == "TypeError"
    assert observe(lambda: db.search([2 ** 1100], 1))[0] == "OverflowError"


def hooked(log, make, mutate=None):
    """A list whose items include hooks; one hook may change the list while it runs."""
    items = make([1.0, 2, None, 4.0, Hook(log, 5), F(6.0)])
    items[2] = Hook(log, 3, mutate and (lambda: mutate(items)))
    return items


@pytest.mark.parametrize("mutate", [None, lambda v: v.append(9.0), lambda v: v.clear(),
                                    lambda v: v.__setitem__(4, "x"), lambda v: v.__setitem__(3, Hook([], 8))])
def test_hooks_run_once_each_in_order_even_when_they_mutate(db_path, mutate):
    import tovik

    runs = []
    for make in (list, General):
        log = []
        db = tovik.TovikDB(db_path + str(len(runs)))
        result = observe(lambda: (db.add(0, hooked(log, make, mutate), "{}"), db.count(),
                                  bits([s for _, s, _ in db.search([1.0] * 7, 1)]) if db.count() else None))
        runs.append((result, log))
    assert runs[0] == runs[1]
    assert runs[0][1][0] == ("float", 3)


SCORED = [
    [], [(0, 1.0)], [(1, 2), (0, -0.5)], [(4294967295, float("nan"))], [(2 ** 31, 1e300)],
    [(0, 1.0), (4294967296, 1.0)], [(0, 1.0), (-1, 1.0)], [(0, 1.0), (2 ** 70, 1.0)],
    [(0,)], [(0, 1.0, 2)], [[0, 1.0]], [(0, "x")], [(True, 1.0)], [(0, F(0.25))], [(I(3), 1.0)],
    [(0.0, 1.0)], [(0, 2 ** 1100)], [(0, 1.0), "ab"], [(2, 2 ** 53 + 1), (3, F32_TINY)],
]


@pytest.mark.parametrize("scored", SCORED, ids=lambda v: repr(v)[:40])
@pytest.mark.parametrize("plain", [list, tuple])
def test_scored_converts_like_the_general_path(db, plain, scored):
    db.add(0, [1.0], '{"a": 0}')

    def run(make):
        return observe(lambda: [(i, bits([s]), m) for i, s, m in db.build_results(make(scored), False)])

    assert run(plain) == run(General)


def test_scored_hooks_run_once_each_in_order(db):
    runs = []
    for make in (list, General):
        log = []
        scored = [(0, 1.0), (Hook(log, 1), Hook(log, 0.5)), (2, Hook(log, 2)), (Hook(log, 3), 0.0)]
        runs.append((observe(lambda: db.build_results(make(scored), False)), log))
    assert runs[0] == runs[1]
    assert [name for name, _ in runs[0][1]] == ["index", "float", "float", "index"]


def test_long_plain_vectors_keep_memory_flat(db):
    """The one-step route leaves nothing behind per call: a wrapper kept per item would
    grow by hundreds of megabytes here; the margin absorbs the collector's own growth."""
    import gc

    vector = [random.random() for _ in range(384)]
    db.add(0, vector, "{}")

    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4

    for _ in range(2000):
        db.search(vector, 1, include_metadata=False)
    gc.collect()
    before = rss_kb()
    for _ in range(20000):
        db.search(vector, 1, include_metadata=False)
    gc.collect()
    assert rss_kb() - before < 32 * 1024, "resident memory grew by more than 32 MB"


if sys.platform != "linux":
    test_long_plain_vectors_keep_memory_flat = pytest.mark.skip("needs /proc")(test_long_plain_vectors_keep_memory_flat)
