"""Clustered synthetic documents for the Python benchmarks (pure Python, 3.9+).

A document vector is centre[c] + noise[a] + 0.5 * noise[b]: few stored components,
many distinct vectors, and cheap to build. Because every vector is a sum of known
parts, the LSH signature of any document can be predicted from the dot products of
the parts with the index's hyperplanes (see LshModel), without ever building the
vectors again.
"""
import json
import os
import platform
import struct
import sys
import tempfile

# The seeded generator is shared with the golden scenario.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "golden"))
from seeded_rng import Rng  # noqa: E402

MASK64 = (1 << 64) - 1
CENTRES = 64
NOISES = 512
CATEGORIES = ["books", "music", "garden", "tools", "toys", "food", "sport", "health",
              "office", "travel", "film", "games", "pets", "baby", "auto", "art",
              "beauty", "photo", "home", "kitchen"]
COUNTRIES = ["NO", "CH", "PL", "BR", "JP", "NG", "PE", "AU", "DE", "IN"]


class Corpus:
    """Vectors and metadata of document i, deterministic in (dim, seed)."""

    def __init__(self, dim, seed=7):
        rng = Rng(seed)
        self.dim = dim
        self.centres = [[rng.unit() for _ in range(dim)] for _ in range(CENTRES)]
        self.noise = [[0.35 * rng.unit() for _ in range(dim)] for _ in range(NOISES)]
        self.rng = rng

    def parts(self, i):
        """(centre, noise a, noise b) of document i; distinct triples for i < 64 * 512 * 509."""
        return i % CENTRES, (i // CENTRES) % NOISES, (i * 7 + i // (CENTRES * NOISES)) % 509

    def vector(self, i):
        c, a, b = self.parts(i)
        return [x + y + 0.5 * z for x, y, z in zip(self.centres[c], self.noise[a], self.noise[b])]

    def query(self, j):
        """A query near centre j, with noise vectors no document pairs the same way."""
        c, a, b = j % CENTRES, (j * 131 + 17) % NOISES, (j * 37 + 3) % 509
        return [x + 0.8 * y + 0.3 * z for x, y, z in zip(self.centres[c], self.noise[a], self.noise[b])], (c, a, b)

    @staticmethod
    def metadata(i):
        return {
            "category": CATEGORIES[(i * 2654435761 >> 7) % len(CATEGORIES)],
            "price": ((i * 40503) % 100000) / 100.0,
            "year": 1990 + (i * 7) % 35,
            "author": {"name": "author%d" % (i % 997), "country": COUNTRIES[(i // 3) % len(COUNTRIES)]},
            "tags": ["t%d" % (i % 13), "t%d" % (i % 29)],
            "in_stock": i % 4 != 0,
        }

    def metadata_json(self, i):
        return json.dumps(self.metadata(i), separators=(",", ":"))


# The benchmark filter and the same predicate in Python, for candidate prediction.
FILTER = {"$and": [{"category": {"$in": ["books", "music", "garden", "tools"]}}, {"year": {"$gte": 2000}}]}


def filter_admits(meta):
    return meta["category"] in ("books", "music", "garden", "tools") and meta["year"] >= 2000


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


class LshModel:
    """The candidate index's arithmetic, replayed: 32 hyperplanes drawn from the
    index's fixed-seed generator, a document's signature predicted from the dot products
    of its parts (in double precision; a float32 sum changes a sign only for dot products
    within rounding of zero), buckets in creation order, and the query's probe order."""

    SEED = 12345
    PLANES = 32
    PROBE_BITS = 16
    FALLBACK_BUCKETS = 20

    def __init__(self, corpus):
        state = self.SEED
        planes = []
        for _ in range(self.PLANES):
            plane = []
            for _ in range(corpus.dim):
                state = (state * 1103515245 + 12345) & MASK64
                plane.append(f32(f32(f32(float(state >> 16)) * 2.0**-15) - 1.0))
            total = -0.0
            for x in plane:
                total = f32(total + f32(x * x))
            if total > 0.0:
                r = f32(total ** 0.5)
                plane = [f32(x / r) for x in plane]
            planes.append(plane)
        self.planes = planes
        dot = lambda p, v: sum(x * y for x, y in zip(p, v))
        self.centre_dots = [[dot(p, c) for p in planes] for c in corpus.centres]
        self.noise_dots = [[dot(p, n) for p in planes] for n in corpus.noise]
        self.corpus = corpus

    def signature(self, parts, weights=(1.0, 1.0, 0.5)):
        c, a, b = parts
        cd, ad, bd = self.centre_dots[c], self.noise_dots[a], self.noise_dots[b]
        wc, wa, wb = weights
        key = 0
        for h in range(self.PLANES):
            if wc * cd[h] + wa * ad[h] + wb * bd[h] > 0.0:
                key |= 1 << h
        return key

    def build(self, id_doc_pairs):
        """Buckets of the ids, filed in the given order under their documents' signatures;
        buckets kept in creation order (dict order), as the index keeps them."""
        buckets = {}
        for i, doc in id_doc_pairs:
            buckets.setdefault(self.signature(self.corpus.parts(doc)), []).append(i)
        self.buckets = buckets
        self.order = list(buckets)

    def candidates(self, query_parts, k, admissible=None, id_bound=None):
        """How many candidates a search scores: LSH gathering capped at max(1000, 10k),
        a full scan when that yields fewer than 2k (and fewer than id_bound), then the
        ids the filter does not admit dropped."""
        limit = max(1000, 10 * k)
        key = self.signature(query_parts, (1.0, 0.8, 0.3))
        found, seen = [], set()

        def take(bucket):
            for i in bucket:
                if len(found) >= limit:
                    return False
                if i not in seen:
                    seen.add(i)
                    found.append(i)
            return len(found) < limit

        going = take(self.buckets.get(key, []))
        for bit in range(self.PROBE_BITS):
            if going:
                going = take(self.buckets.get(key ^ (1 << bit), []))
        if going and len(found) < limit // 2:
            for bucket_key in self.order[: self.FALLBACK_BUCKETS]:
                if not take(self.buckets[bucket_key]):
                    break
        total = sum(len(b) for b in self.buckets.values())
        bound = total if id_bound is None else id_bound
        if len(found) < 2 * k and len(found) < bound:  # full scan
            if admissible is None:
                return total
            return min(limit, len(admissible))
        if admissible is None:
            return len(found)
        return sum(1 for i in found if i in admissible)


def environment():
    return "%s %s on %s, %d processors" % (
        platform.python_implementation(), platform.python_version(), platform.machine(), os.cpu_count() or 0)


def temp_dir():
    return tempfile.mkdtemp(prefix="tovik-bench-")


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, int(round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def quiet_fd1():
    """Sends fd 1 (where the database announces quantization) to /dev/null and returns
    a writer for the real standard output."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    return os.fdopen(saved, "w", buffering=1)
