"""Soak: a long random mix of add (with and without ttl, some metadata not JSON objects
or not JSON at all), search (with and without filters and metadata), delete by filter,
count, clean_expired and build_results, every result checked against a small Python
model of the database. Ids come from a fixed range, so they are reused all the time;
every EPOCH operations the database is dropped and a fresh one started (deleted ids
never come back, so one database alone would run dry). Resident memory is sampled
throughout and must not creep from one epoch to the next.

    TOVIK_SOAK_OPS   number of operations (default 150000; 1000000 for a long run)
    TOVIK_SOAK_SEED  random seed (default 1)

Prints the operation count, the time taken and the peak resident memory; exits non-zero
on the first disagreement with the model. `make test-soak` runs it under CPython: under
PyPy, result objects made through the C API are reclaimed only by its major collections,
so resident memory climbs for a long while (a plateau of about 190 MiB) before it is
flat, and the memory check would measure the collector rather than this module."""
import gc
import json
import os
import random
import shutil
import struct
import sys
import tempfile
import time

import tovik

DIM = 8
ID_RANGE = 6000  # past 5000 slots, so every epoch also switches quantization on
EPOCH = 25_000
NEVER = 10**12  # a ttl that outlives the run
BIG_K = 10**6
GROUPS = ["g%d" % i for i in range(5)]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Model:
    """What the database should hold: which ids are live, what each filter matches."""

    def __init__(self):
        self.bound = 0
        self.deleted = set()
        self.with_vector = set()
        self.text = {}
        self.universe = set()
        self.indexed = {}  # id -> {(path, value)} since the id last left the indexes
        self.expired_pending = set()  # ids whose expiry lies in the past
        self.expiring_later = set()

    def add(self, i, text, document, ttl, parsed):
        self.bound = max(self.bound, i + 1)
        self.with_vector.add(i)
        self.text[i] = text
        self.universe.add(i)
        if isinstance(document, dict):
            self.indexed.setdefault(i, set()).update(document.items())
        if parsed and ttl is not None:
            (self.expired_pending if ttl < 0 else self.expiring_later).add(i)
            (self.expiring_later if ttl < 0 else self.expired_pending).discard(i)

    def remove(self, ids):
        self.deleted |= ids
        self.universe -= ids
        for i in ids:
            self.indexed.pop(i, None)

    def purge(self):
        self.remove(set(self.expired_pending))
        self.expired_pending.clear()

    def matches(self, flt):
        field, operators = next(iter(flt.items()))
        (op, operand), = operators.items()
        if op == "$eq":
            return {i for i, pairs in self.indexed.items() if (field, operand) in pairs}
        if op == "$lt":
            return {i for i, pairs in self.indexed.items() if any(p == field and v < operand for p, v in pairs)}
        if op == "$nin":
            hit = {i for i, pairs in self.indexed.items() if any((field, v) in pairs for v in operand)}
            return self.universe - hit
        raise AssertionError(op)

    def live_with_vector(self):
        return self.with_vector - self.deleted


def random_filter(rng):
    kind = rng.random()
    if kind < 0.5:
        return {"g": {"$eq": rng.choice(GROUPS)}}
    if kind < 0.8:
        return {"n": {"$lt": rng.randrange(100)}}
    return {"g": {"$nin": rng.sample(GROUPS, 2)}}


class Soak:
    def __init__(self, seed, workdir):
        self.rng = random.Random(seed)
        self.pool = [[self.rng.uniform(-1.0, 1.0) for _ in range(DIM)] for _ in range(512)]
        self.workdir = workdir
        self.epochs = 0
        self.counts = {}

    def fresh(self):
        self.epochs += 1
        path = os.path.join(self.workdir, "epoch%d" % self.epochs)
        self.db, self.model = tovik.TovikDB(path), Model()
        return path

    def fail(self, what, got, expected):
        raise AssertionError("%s: got %r, expected %r" % (what, got, expected))

    def op_add(self):
        rng, i = self.rng, self.rng.randrange(ID_RANGE)
        roll = rng.random()
        if roll < 0.04:
            text, document, parsed = '{"g": ', None, False  # not JSON
        elif roll < 0.08:
            text, document, parsed = "[%d]" % i, [i], True  # JSON, not an object
        else:
            document = {"g": rng.choice(GROUPS), "n": rng.randrange(100)}
            text, parsed = json.dumps(document), True
        ttl = rng.choice([None, None, -1 - rng.randrange(1000), NEVER])
        try:
            self.db.add(i, self.pool[rng.randrange(len(self.pool))], text, ttl)
        except ValueError:
            if parsed:
                raise
        else:
            if not parsed:
                self.fail("add of invalid JSON", "no error", "ValueError")
        self.model.add(i, text, document, ttl, parsed)

    def op_search(self):
        rng, model = self.rng, self.model
        flt = random_filter(rng) if rng.random() < 0.4 else None
        k = BIG_K if rng.random() < 0.1 else rng.randrange(1, 30)
        with_meta = rng.random() < 0.5
        got = self.db.search(self.pool[rng.randrange(len(self.pool))], k, json.dumps(flt) if flt else None, with_meta)
        model.purge()
        allowed = model.live_with_vector()
        if flt:
            allowed &= model.matches(flt)
        ids = [r[0] for r in got]
        if len(set(ids)) != len(ids) or not set(ids) <= allowed or len(ids) > k:
            self.fail("search ids (k=%d, filter=%r)" % (k, flt), sorted(ids), sorted(allowed))
        if k == BIG_K and set(ids) != allowed:
            self.fail("search with a k beyond every id", sorted(ids), sorted(allowed))
        for i, _, text in got:
            if text != (model.text[i] if with_meta else ""):
                self.fail("metadata of %d" % i, text, model.text[i])

    def op_delete(self):
        flt = random_filter(self.rng)
        matched = self.model.matches(flt)
        n = self.db.delete(json.dumps(flt))
        if n != len(matched):
            self.fail("delete %r" % flt, n, len(matched))
        self.model.remove(matched)

    def op_count(self):
        got = self.db.count()
        self.model.purge()
        if got != self.model.bound - len(self.model.deleted):
            self.fail("count", got, self.model.bound - len(self.model.deleted))

    def op_clean_expired(self):
        if self.db.clean_expired() is not None:
            self.fail("clean_expired", "a value", None)
        self.model.purge()

    def op_build_results(self):
        pairs = [(self.rng.randrange(ID_RANGE + 10), 0.5 + j) for j in range(self.rng.randrange(8))]
        got = self.db.build_results(pairs, True)
        expected = [(i, f32(s), self.model.text[i]) for i, s in pairs if i in self.model.text]
        if got != expected:
            self.fail("build_results", got, expected)

    def run(self, total):
        ops = [(self.op_add, 55), (self.op_search, 15), (self.op_delete, 2), (self.op_count, 12),
               (self.op_clean_expired, 4), (self.op_build_results, 12)]
        table = [op for op, weight in ops for _ in range(weight)]
        path = self.fresh()
        epoch_rss, peak = [], rss_bytes()
        for n in range(1, total + 1):
            op = self.rng.choice(table)
            op()
            self.counts[op.__name__] = self.counts.get(op.__name__, 0) + 1
            if n % 500 == 0:
                peak = max(peak, rss_bytes())
            if n % EPOCH == 0 and n < total:
                self.op_count()
                del self.db
                gc.collect()
                shutil.rmtree(path)
                epoch_rss.append(rss_bytes())
                path = self.fresh()
        self.op_count()
        return epoch_rss, max(peak, rss_bytes())


def main():
    total = int(os.environ.get("TOVIK_SOAK_OPS", "150000"))
    seed = int(os.environ.get("TOVIK_SOAK_SEED", "1"))
    start = time.time()
    workdir = tempfile.mkdtemp(prefix="tovik-soak-")
    try:
        soak = Soak(seed, workdir)
        epoch_rss, peak = soak.run(total)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    mib = 1024.0 * 1024.0
    print("soak: %d operations (%s) in %d epochs, seed %d, %.1f s; peak RSS %.1f MiB; RSS after each epoch: %s MiB"
          % (total, ", ".join("%s %d" % (k[3:], v) for k, v in sorted(soak.counts.items())), soak.epochs, seed,
             time.time() - start, peak / mib, " ".join("%.1f" % (r / mib) for r in epoch_rss)))
    # The first epoch warms every allocator pool; after it, dropping a database must
    # give its memory back, so the resident size between epochs stays flat.
    if len(epoch_rss) >= 3 and epoch_rss[-1] - epoch_rss[1] > 16 * mib:
        print("soak: resident memory grew by %.1f MiB between epochs" % ((epoch_rss[-1] - epoch_rss[1]) / mib))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
