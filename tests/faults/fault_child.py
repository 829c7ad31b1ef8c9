"""One workload under the allocation-failure shim, run in a child process.

For n = FIRST, FIRST + 1, ...: a fresh database gets the workload's set-up, the shim is
armed to fail the n-th allocation (alone, or that one and every later one), the
workload's call runs, the shim is disarmed. Then the call must have succeeded or raised
MemoryError; after a MemoryError the call is repeated with memory back and must
succeed. Either way the database must then answer exactly as one that ran the call
without faults (count, and searches under the workload's filters). One line per fault
point goes to stdout as it finishes, so that the parent learns where a child died. It
stops at the first n that the call does not reach.

    python fault_child.py WORKLOAD FIRST STICKY DIR
"""
import ctypes
import os
import shutil
import sys

import tovik



def shim():
    """The preloaded shim's controls."""
    lib = ctypes.CDLL(None)
    lib.tovik_shim_arm.argtypes = [ctypes.c_long, ctypes.c_int]
    lib.tovik_shim_disarm.restype = ctypes.c_long
    lib.tovik_shim_failures.restype = ctypes.c_long
    return lib


def vec(i, dim=8):
    return [float((i * (j + 3)) % 17) - 8.0 for j in range(dim)]


VECTORS = [vec(i) for i in range(2500)]
TEXTS = {}


def fill(db, n, meta, ttl=lambda i: None):
    texts = TEXTS.get(meta)
    if texts is None or len(texts) < n:
        texts = TEXTS[meta] = [meta(i) for i in range(n)]
    for i in range(n):
        db.add(i, VECTORS[i], texts[i], ttl(i))


def numeric(i):
    return '{"n": %d, "x": %s}' % (i % 97, repr(i / 7.0))


def strings(i):
    return '{"s": "v%d", "b": %s}' % (i % 5, "true" if i % 2 else "false")


def mixed(i):
    return '{"n": %d, "s": "v%d", "b": %s, "o": {"k": "w%d"}}' % (i % 50, i % 3, "true" if i % 4 else "false", i % 2)


N = 800
RANGE = '{"n": {"$gte": 40}}'
BELOW = '{"x": {"$lt": 90.5}}'
OR = '{"$or": [{"s": {"$eq": "v1"}}, {"b": {"$eq": true}}]}'
IN = '{"s": {"$in": ["v0", "v3", "v4"]}}'
NOT = '{"$not": {"s": {"$eq": "v2"}}}'
Q = vec(5)

# name: (set-up(db), call(db), probe filters). Probes search with k = 150, so every
# LSH candidate is taken (limit 1500 > N) and the compared answers do not depend on
# the order of an LSH bucket.
WORKLOADS = {
    "search-range": (lambda db: fill(db, N, numeric), lambda db: db.search(Q, 20, RANGE), [RANGE, BELOW]),
    "search-below": (lambda db: fill(db, N, numeric), lambda db: db.search(Q, 20, BELOW), [BELOW]),
    "search-or": (lambda db: fill(db, N, strings), lambda db: db.search(Q, 20, OR), [OR, IN]),
    "search-in": (lambda db: fill(db, N, strings), lambda db: db.search(Q, 20, IN), [IN]),
    "search-not": (lambda db: fill(db, N, strings), lambda db: db.search(Q, 20, NOT), [NOT]),
    "delete-string": (lambda db: fill(db, 60, lambda i: '{"s": "same"}'), lambda db: db.delete('{"s": {"$eq": "same"}}'),
                      [None, '{"s": {"$eq": "same"}}']),
    "delete-range": (lambda db: fill(db, N, numeric), lambda db: db.delete(RANGE), [None, RANGE, BELOW]),
    "delete-or": (lambda db: fill(db, N, mixed), lambda db: db.delete(OR), [None, OR, RANGE, NOT]),
    "purge-count": (lambda db: fill(db, N, mixed, lambda i: -5 if i % 3 else 10**6), lambda db: db.count(),
                    [None, RANGE, OR, NOT]),
    "purge-search": (lambda db: fill(db, N, mixed, lambda i: -5 if i % 2 else None), lambda db: db.search(Q, 20, RANGE),
                     [None, RANGE, NOT]),
    "add-ttl": (lambda db: fill(db, 300, mixed), lambda db: db.add(300, vec(300), mixed(300), 3600), [None, RANGE, OR]),
    "add-plain": (lambda db: fill(db, 300, mixed), lambda db: db.add(301, vec(301), mixed(301)), [None, RANGE, OR]),
    "build-results": (lambda db: fill(db, 50, mixed), lambda db: db.build_results([(i, 0.5) for i in range(60)], True), [None]),
    # Over 1000 candidates: scored on the worker pool (started by the reference run),
    # whose pieces grow their buffers in this call.
    "workers": (lambda db: fill(db, 2500, mixed), lambda db: db.search(Q, 300, None, False), [None]),
}


def probes_k(name):
    return 300 if name == "workers" else 150


def state(db, name, filters):
    k = probes_k(name)
    return [db.count()] + [sorted(db.search(Q, k, f)) for f in filters]


def canonical(value):
    return sorted(value) if isinstance(value, list) else value


def main():
    name, first, sticky, root = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    setup, call, filters = WORKLOADS[name]
    SHIM = shim()
    ref = tovik.TovikDB(os.path.join(root, "reference"))
    setup(ref)
    expected_value = canonical(call(ref))
    expected = state(ref, name, filters)
    n = first
    while True:
        path = os.path.join(root, "n%d" % n)
        db = tovik.TovikDB(path)
        setup(db)
        print("start %d" % n, flush=True)
        SHIM.tovik_shim_arm(n, sticky)
        try:
            value, outcome = call(db), "ok"
        except MemoryError:
            value, outcome = None, "MemoryError"
        except BaseException as e:  # noqa: B902 - reported, not swallowed
            value, outcome = None, "%s: %s" % (type(e).__name__, e)
        SHIM.tovik_shim_disarm()
        injected = SHIM.tovik_shim_failures()
        if outcome == "MemoryError":
            call(db)
        elif outcome == "ok" and canonical(value) != expected_value:
            outcome = "wrong answer"
        if outcome in ("ok", "MemoryError") and state(db, name, filters) != expected:
            outcome = "inconsistent after " + outcome
        print("done %d %s" % (n, outcome), flush=True)
        del db
        shutil.rmtree(path, ignore_errors=True)
        if injected == 0:
            return
        n += 1


if __name__ == "__main__":
    main()
