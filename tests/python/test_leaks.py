"""Leak checks: every method, on its success and its error paths, repeated many times,
must leave the reference counts of the objects it touched, the number of live Python
objects and the process's resident memory where they were. (The plain conversion paths
of add, search and build_results are covered with the surface tests.)"""
import array
import errno
import gc
import os
import platform
import sys

import pytest

import tovik

# Under qemu (armhf or arm64): no address-space limits, a threaded fork that is the
# emulator's, and far slower floating point.
EMULATED = os.environ.get("TOVIK_TARGET") in ("armhf", "arm64")
CPYTHON = platform.python_implementation() == "CPython"
ROUNDS = 60 if EMULATED else 400
MIB = 1024 * 1024
linux_only = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self")
# PyPy frees the objects it made for the C API only at its major collections, whenever
# those come, so resident memory says nothing about our leaks there.
rss_is_a_signal = pytest.mark.skipif(not CPYTHON, reason="resident memory follows PyPy's collector")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def threads():
    with open("/proc/self/status") as f:
        return [int(line.split()[1]) for line in f if line.startswith("Threads:")][0]


class Boom(Exception):
    pass


class Hook:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value

    __float__ = __index__


def error_paths(db, dirpath, objs):
    """Calls that fail, each with the exception it must raise."""
    meta, vector, big_id = objs["meta"], objs["vector"], objs["big_id"]
    gone = os.path.join(dirpath, "gone")
    lost = tovik.TovikDB(gone)
    os.rmdir(gone)
    return [
        (lambda: db.add(big_id, [1.0, 2.0, 3.0], meta), ValueError),  # dimension mismatch
        (lambda: db.add(big_id, vector, objs["bad_json"], big_id), ValueError),  # invalid JSON
        (lambda: db.search(vector, big_id, objs["bad_json"]), ValueError),  # invalid filter
        (lambda: db.delete(objs["bad_json"]), ValueError),
        (lambda: lost.add(big_id, vector, meta), ValueError),  # no directory
        (lambda: db.build_results([(big_id, 0.5, meta)], True), ValueError),  # tuple of three
        (lambda: db.add(Hook(big_id, objs["raise_boom"]), vector, meta), Boom),
        (lambda: db.search([Hook(1.0, objs["raise_type"])], 1), TypeError),  # prefixed, with a cause
        (lambda: db.add(Hook(big_id, objs["reenter_add"]), vector, meta), RuntimeError),
        (lambda: db.search(vector, Hook(1, objs["reenter_add"])), RuntimeError),
        (lambda: db.add(big_id, vector, objs["surrogate"]), UnicodeEncodeError),
        (lambda: db.delete(objs["surrogate"]), UnicodeEncodeError),
        (lambda: tovik.TovikDB(os.path.join(dirpath, "db", "metadata.bin", "x")), ValueError),
    ]


def success_paths(db, objs):
    vector, meta, flt, big_id = objs["vector"], objs["meta"], objs["filter"], objs["big_id"]
    return [
        lambda: db.add(big_id, vector, meta, -5),  # expires at the next purge
        lambda: db.clean_expired(),
        lambda: db.search(vector, 3, flt, True),
        lambda: db.search(vector, big_id, flt, False),
        lambda: db.delete(flt),
        lambda: db.delete(objs["no_result_filter"]),
        lambda: db.count(),
        lambda: db.build_results([(1, 0.5), (big_id, 0.25)], True),
    ]


def exercise(db, dirpath, objs):
    for call in success_paths(db, objs):
        call()
    for call, exc in error_paths(db, dirpath, objs):
        try:
            call()
        except exc:
            pass
        else:
            raise AssertionError("no %s from a failing call" % exc.__name__)


def make_objects(db):
    def raise_boom():
        raise Boom("hook")

    def raise_type():
        raise TypeError("hook")

    def reenter_add():
        db.add(0, [1.0, 0.0], "{}")

    return {"meta": '{"tag": "leak", "n": 12345}', "vector": [0.25, 0.75], "big_id": 100_000,
            "filter": '{"tag": {"$eq": "leak"}}', "no_result_filter": '{"tag": "plain"}',
            "bad_json": '{"tag": ', "surrogate": "\udc80", "raise_boom": raise_boom,
            "raise_type": raise_type, "reenter_add": reenter_add}


@pytest.mark.skipif(not CPYTHON, reason="reference counts are CPython's")
def test_every_method_and_error_path_keeps_reference_counts(db, tmp_path):
    for i in range(20):
        db.add(i, [1.0, float(i)], '{"tag": "leak", "n": %d}' % i)
    objs = make_objects(db)
    watched = list(objs.values()) + [db, tovik.TovikDB, Boom, Hook]
    total = getattr(sys, "gettotalrefcount", None)  # debug builds only
    exercise(db, str(tmp_path), objs)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    objects, refs = len(gc.get_objects()), total() if total else 0
    for _ in range(ROUNDS):
        exercise(db, str(tmp_path), objs)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    assert len(gc.get_objects()) - objects < 50
    if total:
        assert total() - refs < 100


@linux_only
@rss_is_a_signal
def test_repeated_calls_keep_resident_memory_flat(db, tmp_path):
    for i in range(1300 if EMULATED else 2000):  # past the parallel threshold: searches use the worker pool
        db.add(i, [1.0, float(i % 97), float(i % 13)], '{"tag": "t%d", "n": %d}' % (i % 3, i))
    objs = make_objects(db)
    objs.update(vector=[1.0, 2.0, 3.0], filter='{"n": {"$gte": 0}}')
    failing = error_paths(db, str(tmp_path), objs)
    flat = [lambda: db.search(objs["vector"], 1200, None, False),  # about 60 KiB of tuples
            lambda: db.search(objs["vector"], 10, objs["filter"], True),
            lambda: db.build_results([(i, 0.5) for i in range(0, 1300, 7)], True),
            lambda: db.delete('{"tag": {"$eq": "absent"}}'), db.count, db.clean_expired]

    def once():
        for call in flat:
            call()
        for call, exc in failing:
            try:
                call()
            except exc:
                pass

    for _ in range(10):
        once()
    gc.collect()
    start, workers = rss(), threads()
    for _ in range(ROUNDS // 4):
        once()
    gc.collect()
    assert threads() == workers  # the pool is made once, not per search
    assert rss() - start < 4 * MIB


@linux_only
@rss_is_a_signal
def test_dropped_databases_give_their_memory_back(tmp_path):
    def build_and_drop(n):
        db = tovik.TovikDB(str(tmp_path / ("db%d" % n)))
        for i in range(300):
            db.add(i, [float((i * j) % 17) for j in range(64)], '{"tag": "t%d", "n": %d}' % (i % 5, i), 10**6)
        db.delete('{"tag": {"$eq": "t1"}}')
        assert len(db.search([1.0] * 64, 5, '{"n": {"$lt": 150}}')) == 5

    rounds = 30 if EMULATED else 150
    for n in range(5):
        build_and_drop(n)
    gc.collect()
    start = rss()
    for n in range(rounds):
        build_and_drop(n)
    gc.collect()
    # Each database holds about 150 KiB (hyperplanes, vectors, indexes): keeping them
    # all would add well over 8 MiB.
    assert rss() - start < 8 * MIB


@linux_only
@pytest.mark.parametrize("make", [list, lambda v: array.array("d", v), lambda v: array.array("f", v)],
                         ids=["list", "array-d", "array-f"])
def test_vector_conversion_keeps_memory_flat_under_either_interpreter(db, make):
    # Checked under PyPy too: after full collections its C-API objects are gone, and an
    # array's buffer export used to leave about 32 bytes behind per call (3 MiB here).
    # The first round lets PyPy's heap reach its size.
    vector = make([float(i % 7) for i in range(64)])
    db.add(0, vector, "{}")
    calls = 4000 if EMULATED else 100000

    def run(n):
        for _ in range(n):
            db.search(vector, 1, None, False)
        gc.collect()
        gc.collect()

    run(calls)
    start = rss()
    run(calls)
    assert rss() - start < 2 * MIB
