"""Adds per second, raw and quantized, and the time of the add that switches
quantization on, for 384- and 768-float vectors with small JSON metadata.

    PYTHONPATH=build/host python3 bench/add_bench.py [--quick] [--dims 384,768]

Full run: ids 0..4999 raw (5000 slots), the 5001st add switches on (training on 5000
vectors), then 5000 quantized adds. --quick: ids 0..999 raw, then id 4999 (which brings
the slot count to 5000), the next add switches on with 1001 stored vectors, then 1000
quantized adds. Inputs are built before the clock starts; timing covers the add calls
only (argument conversion included). Results go to standard output as a Markdown table.
"""
import argparse
import shutil
import time

from synthetic import Corpus, environment, quiet_fd1, temp_dir

POOL = 256  # distinct vectors cycled through: building all of them would dwarf the adds


def timed_adds(db, ids, vectors, metas):
    start = time.perf_counter()
    for n, i in enumerate(ids):
        db.add(i, vectors[n % POOL], metas[n])
    return time.perf_counter() - start


def bench_dim(tovik, dim, quick):
    corpus = Corpus(dim)
    vectors = [corpus.vector(i) for i in range(POOL)]
    raw_ids = list(range(1000)) + [4999] if quick else list(range(5000))
    switch_id = 5000
    quant_ids = list(range(5001, 6001 if quick else 10001))
    metas = {name: [corpus.metadata_json(i) for i in ids] for name, ids in
             (("raw", raw_ids), ("switch", [switch_id]), ("quantized", quant_ids))}
    path = temp_dir()
    try:
        db = tovik.TovikDB(path)
        raw = timed_adds(db, raw_ids, vectors, metas["raw"])
        switch = timed_adds(db, [switch_id], vectors, metas["switch"])
        quant = timed_adds(db, quant_ids, vectors, metas["quantized"])
        assert db.count() == quant_ids[-1] + 1, db.count()  # ids below the bound count as live
    finally:
        shutil.rmtree(path, ignore_errors=True)
    return [
        (dim, "raw", len(raw_ids), raw),
        (dim, "switch-on add (trains on %d vectors)" % len(raw_ids), 1, switch),
        (dim, "quantized", len(quant_ids), quant),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dims", default="384,768")
    args = parser.parse_args()
    out = quiet_fd1()
    import tovik

    out.write("add benchmark%s: %s\n\n" % (" (quick)" if args.quick else "", environment()))
    out.write("| dim | phase | adds | seconds | adds/s | us/add |\n|---|---|---|---|---|---|\n")
    for dim in (int(d) for d in args.dims.split(",")):
        for dim_, phase, n, seconds in bench_dim(tovik, dim, args.quick):
            rate = "-" if n == 1 else "%.0f" % (n / seconds)
            out.write("| %d | %s | %d | %.3f | %s | %.1f |\n" % (dim_, phase, n, seconds, rate, 1e6 * seconds / n))


if __name__ == "__main__":
    main()
