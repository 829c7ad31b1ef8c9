"""A fixed, seeded workload whose every observable result is written to a file.

Run under several interpreters and architectures, the files must agree byte for byte:
the scores are float32 values computed with fixed arithmetic, the candidate lists come
from the same seeded hash, and results carry metadata read back from the file.

    python scenario.py OUTPUT_FILE DATABASE_DIR

The database writes its quantization line to file descriptor 1, so results go to
OUTPUT_FILE and nothing else is printed to standard output.

The workload: DOCS documents of DIM floats in clustered groups, with varied metadata
(strings, non-ASCII text, integers beyond 2**53, negative and fractional numbers,
nested objects, arrays, booleans, null) and some time-to-live values, added with gaps
between ids; searches with and without filters for k = 10, 50 and 500 at several
points (raw mode, the last raw state, just after quantization switches on, at the
end); deletes by filter, counts and build_results with awkward scores.

Everything is computed from integers and IEEE double arithmetic (+, -, *, /), which
every interpreter and processor here performs identically; no hash(), no libm.
"""
import json
import struct
import sys

from seeded_rng import Rng

DIM = 48  # with the fixed 768-wide quantizer, 4 of its 64 subspaces see data
DOCS = 5300  # document 4948 gets id 4999; the next add switches quantization on
CLUSTERS = 16
MASK64 = (1 << 64) - 1
LIVE_TTL = 10**8  # far in the future: never expires during the run
PAST_TTL = -5  # already expired: the next purge removes it

CITIES = ["Oslo", "Zürich", "Kraków", "São Paulo", "東京", "Lagos", "Lima", "Perth"]
KINDS = ["note", "image", "audio", "log"]


def make_centres(rng):
    return [[rng.unit() for _ in range(DIM)] for _ in range(CLUSTERS)]


def doc_vector(rng, centres, i):
    centre = centres[i % CLUSTERS]
    spread = 0.05 + 0.05 * (i % 7)
    return [c + spread * rng.unit() for c in centre]


def doc_metadata(rng, i):
    meta = {
        "i": i,
        "kind": KINDS[(i // 3) % len(KINDS)],
        "city": CITIES[rng.below(len(CITIES))],
        "score": (rng.below(20001) - 10000) / 64.0,
        "pos": {"x": rng.below(1000), "y": -rng.below(1000), "deep": {"tag": "t%d" % (i % 11)}},
        "tags": ["a%d" % (i % 3), "b%d" % (i % 5)],
        "flag": i % 3 == 0,
        "ratio": i / 7.0,  # shortest round-trip digits: exercises the parser's decimal conversion
    }
    if i % 13 == 0:
        meta["big"] = 2**63 + i  # beyond int64: parsed as unsigned, compared as double
    if i % 17 == 0:
        meta["opt"] = None
    if i % 29 == 0:
        meta["neg"] = -(2**62) - i
    return meta


def doc_id(i):
    return i + i // 97  # a gap after every 97 documents leaves empty slots


def gap_id(j):
    return 98 * j - 1  # the id doc_id skips after its j-th run of 97


def score_text(score):
    if score != score:  # NaN: its double bits, so the interpreter's float packing plays no part
        return "nan:" + struct.pack(">d", score).hex()
    return struct.pack(">f", score).hex()


class Recorder:
    def __init__(self, out):
        self.out = out

    def line(self, *parts):
        self.out.write(" ".join(str(p) for p in parts) + "\n")

    def results(self, label, results):
        self.line("#", label, "n=%d" % len(results))
        for rid, score, meta in results:
            self.line(rid, score_text(score), ascii(meta))


SEARCH_FILTERS = [
    None,
    {"kind": {"$eq": "image"}},
    {"score": {"$gte": -20.5, "$lt": 60.25}},
    {"pos.deep.tag": {"$in": ["t1", "t4", "t9"]}},
    {"$or": [{"city": {"$eq": "Zürich"}}, {"pos.x": {"$lte": 100}}]},
    {"$and": [{"flag": {"$eq": True}}, {"$not": {"kind": {"$eq": "log"}}}]},
    {"big": {"$exists": True}},
    {"$and": [{"opt": {"$exists": False}}, {"city": {"$ne": "東京"}}]},
    {"i": {"$nin": [1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144]}},
    {"neg": {"$lt": -4.611686018427388e18}},
    {"ratio": {"$gt": 300.1, "$lte": 512.7142857142857}},
    {"$or": [{"ratio": {"$eq": 100 / 7.0}}, {"ratio": {"$in": [1 / 7.0, 2 / 7.0, 4000 / 7.0]}}]},
]


def run_searches(db, rec, label, queries):
    for qi, query in enumerate(queries):
        for k in (10, 50, 500):
            for fi, flt in enumerate(SEARCH_FILTERS):
                if k == 500 and fi % 3 != 0:
                    continue  # the large k on a subset keeps the run short
                text = None if flt is None else json.dumps(flt, ensure_ascii=False)
                with_meta = (qi + fi + k) % 2 == 0
                res = db.search(query, k, text, with_meta)
                rec.results("%s q%d k%d f%d meta=%s" % (label, qi, k, fi, with_meta), res)


def queries_for(rng, centres):
    noisy = [c + 0.3 * rng.unit() for c in centres[3]]
    far = [rng.unit() for _ in range(DIM)]
    mixed = [(a + b) / 2.0 for a, b in zip(centres[5], centres[11])]
    return [centres[0], noisy, far, mixed]


def edge_queries(db, rec, label, centres):
    """Queries the search path does not check: shorter than the data, all zero."""
    rec.results(label + " short query", db.search(centres[2][:30], 50, None, False))
    rec.results(label + " zero query", db.search([0.0] * DIM, 20, None, False))
    rec.results(label + " k=0", db.search(centres[2], 0))
    # The largest k saturates the candidate limit on 32- and 64-bit hosts alike.
    flt = json.dumps({"pos.deep.tag": {"$eq": "t3"}})
    rec.results(label + " k=2**32-1", db.search(centres[2], 2**32 - 1, flt, False))
    try:
        db.search(centres[2], 2**32, flt, False)
        rec.line("# k=2**32 accepted")
    except OverflowError as e:
        rec.line("# k=2**32 refused:", ascii(str(e)))


def add_docs(db, rec, rng, centres, start, stop):
    for i in range(start, stop):
        vec = doc_vector(rng, centres, i)
        meta = json.dumps(doc_metadata(rng, i), ensure_ascii=i % 2 == 0, sort_keys=i % 5 == 0)
        ttl = None
        if i % 41 == 0:
            ttl = PAST_TTL
        elif i % 23 == 0:
            ttl = LIVE_TTL
        db.add(doc_id(i), vec, meta, ttl)
    rec.line("# added", start, stop, "count", db.count())


def add_odd_documents(db, rec):
    """Special floats and a re-add, all before quantization."""
    odd = [
        (gap_id(1), [float("nan")] + [0.5] * (DIM - 1)),
        (gap_id(2), [float("inf")] + [0.25] * (DIM - 1)),
        (gap_id(3), [1e-42] * DIM),  # subnormal after narrowing
        (gap_id(4), [-0.0] * DIM),
        (gap_id(5), [3.4e38] * (DIM // 2) + [-3.4e38] * (DIM // 2)),
    ]
    for did, vec in odd:
        db.add(did, vec, json.dumps({"odd": did, "kind": "odd"}))
    # Re-adding an id replaces its vector and its metadata text.
    db.add(doc_id(7), [0.125 * (j % 5) for j in range(DIM)], '{"kind": "again", "note": "replaced"}')
    rec.line("# odd documents, count", db.count())


def build_results_cases(db, rec):
    scored = [
        (doc_id(10), 0.1),  # rounds to float32
        (doc_id(11), 1e-45),  # the smallest subnormal
        (doc_id(12), 1e39),  # overflows float32: inf
        (doc_id(13), -0.0),
        (doc_id(41), 0.5),  # expired: metadata still on file
        (3999999, 0.75),  # never added
        (gap_id(6), 0.25),  # a gap between ids
        (doc_id(14), float("nan")),
        (doc_id(15), 2.0**-149 * 3),
    ]
    rec.results("build_results meta", db.build_results(scored, True))
    rec.results("build_results no meta", db.build_results(scored, False))


# Filter texts the parser refuses, or accepts only at the edge of the float range:
# positions in bytes of UTF-8, and number conversion, alike on every platform.
FILTER_TEXTS = [
    "",
    "{\"city\": {\"$eq\": \"Z\u00fcrich\"}, ",
    "\n\n[1,\n",
    "{\"score\": {\"$gt\": 1.7976931348623158e308}}",
    "{\"score\": {\"$gt\": 1.7976931348623159e308}}",
    "{\"score\": {\"$gt\": -2.4703282292062328e-324}}",
    "{\"score\": {\"$lt\": 0e99999}}",
    "[01]",
    "\"\u6771\u4eac\\ud800\\u0041\"",
    "\"\\udc00\"",
    "nulx",
    "\"ab\n",
]


def filter_parse_cases(db, rec, query):
    for text in FILTER_TEXTS:
        try:
            found = [i for i, _, _ in db.search(query, 3, text, False)]
            rec.line("# filter", ascii(text), "ids", found)
        except ValueError as e:
            rec.line("# filter", ascii(text), "refused:", ascii(str(e)))


def deletes(db, rec, label, filters):
    for flt in filters:
        n = db.delete(json.dumps(flt, ensure_ascii=False))
        rec.line("# delete", label, ascii(flt), n, "count", db.count())


def main(out_path, db_dir):
    import tovik

    rng = Rng(20261208)
    centres = make_centres(rng)
    queries = queries_for(rng, centres)
    db = tovik.TovikDB(db_dir)
    with open(out_path, "w", encoding="ascii") as f:
        rec = Recorder(f)
        rec.line("# count empty", db.count(), ascii(db.search(queries[0], 5)))
        add_docs(db, rec, rng, centres, 0, 3000)
        add_odd_documents(db, rec)
        run_searches(db, rec, "raw@3000", queries)
        edge_queries(db, rec, "raw", centres)
        deletes(db, rec, "raw", [{"$and": [{"city": {"$eq": "Lima"}}, {"kind": {"$eq": "audio"}}]}, {"pos.x": {"$gt": 990}}])
        run_searches(db, rec, "raw-after-delete", queries[:2])
        add_docs(db, rec, rng, centres, 3000, 4949)  # ends with id 4999: 5000 raw slots
        run_searches(db, rec, "last-raw", queries)
        add_docs(db, rec, rng, centres, 4949, 5100)  # the first of these switches on
        run_searches(db, rec, "quantized@5100", queries)
        edge_queries(db, rec, "quantized", centres)
        # Of a filter object's keys only the first in ascending order counts ("score").
        deletes(db, rec, "quantized", [{"tags": {"$exists": True}, "score": {"$lt": -150}},
                                       {"$or": [{"kind": {"$eq": "odd"}}, {"pos.deep.tag": {"$eq": "t7"}}]}])
        add_docs(db, rec, rng, centres, 5100, DOCS)
        db.add(doc_id(20), centres[0], '{"kind": "re-added after delete"}')
        run_searches(db, rec, "quantized-end", queries)
        build_results_cases(db, rec)
        filter_parse_cases(db, rec, queries[0])
        db.clean_expired()
        rec.line("# final count", db.count())
        rec.line("# END")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
