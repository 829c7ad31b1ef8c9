"""Search latency on clustered synthetic documents with realistic metadata.

    PYTHONPATH=build/host python3 bench/search_bench.py [--quick] [--dims 384,768]

Collections (quantization switches on by itself past 5000 slots, so "raw" means at most
5000 documents): raw 5000, quantized 10,000 and 100,000. --quick: raw 1000, and a
quantized collection of 1200 documents under ids 0, 5, 10, ... (the slot count passes
5000 at the 1001st add, which switches on with 1000 stored vectors).

For each collection, k = 10 and 100, without and with a filter (about 10% of the
documents), the same queries are timed one call each (metadata included); the table
gives the median and p99 latency and the mean number of candidates scored.

Candidates scored are not visible from Python, so they are predicted by replaying the
candidate index's rules (synthetic.LshModel): the hyperplanes from the fixed seed,
every document's signature from the dot products of the parts its vector is made of,
the probe order, the candidate limit max(1000, 10k), the full-scan rule and the
filter. Each search returns min(k, scored) results, which checks the prediction on
every query; the "checked" column counts the queries where it held.
"""
import argparse
import json
import shutil
import statistics
import time

from synthetic import FILTER, Corpus, LshModel, environment, filter_admits, percentile, quiet_fd1, temp_dir


def collections(quick):
    if quick:
        return [("raw", 1000, 1), ("quantized", 1200, 5)]
    return [("raw", 5000, 1), ("quantized", 10000, 1), ("quantized", 100000, 1)]


def build(tovik, corpus, size, stride):
    path = temp_dir()
    db = tovik.TovikDB(path)
    start = time.perf_counter()
    for doc in range(size):
        db.add(doc * stride, corpus.vector(doc), corpus.metadata_json(doc))
    return db, path, time.perf_counter() - start


def run(tovik, dim, quick, out):
    corpus = Corpus(dim)
    model = LshModel(corpus)
    queries = [corpus.query(j) for j in range(30 if quick else 200)]
    filter_text = json.dumps(FILTER)
    for mode, size, stride in collections(quick):
        db, path, build_seconds = build(tovik, corpus, size, stride)
        try:
            ids_to_doc = {doc * stride: doc for doc in range(size)}
            model.build(ids_to_doc.items())
            admissible = {i for i, doc in ids_to_doc.items() if filter_admits(corpus.metadata(doc))}
            bound = (size - 1) * stride + 1
            for k in (10, 100):
                for filtered in (False, True):
                    times, predicted, checked = [], [], 0
                    for query, parts in queries:
                        start = time.perf_counter()
                        results = db.search(query, k, filter_text if filtered else None, True)
                        times.append(time.perf_counter() - start)
                        expected = model.candidates(parts, k, admissible if filtered else None, bound)
                        predicted.append(expected)
                        checked += len(results) == min(k, expected)
                    times.sort()
                    out.write("| %d | %s | %d | %d | %s | %.3f | %.3f | %.0f | %d/%d |\n" % (
                        dim, mode, size, k, "yes" if filtered else "no",
                        1e3 * statistics.median(times), 1e3 * percentile(times, 0.99),
                        statistics.mean(predicted), checked, len(queries)))
            out.write("| %d | %s | %d | build: %.1f s (%d adds/s), filter admits %d | | | | | |\n" % (
                dim, mode, size, build_seconds, size / build_seconds, len(admissible)))
        finally:
            shutil.rmtree(path, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dims", default="384,768")
    args = parser.parse_args()
    out = quiet_fd1()
    import tovik

    out.write("search benchmark%s: %s\n\n" % (" (quick)" if args.quick else "", environment()))
    out.write("| dim | mode | docs | k | filter | median ms | p99 ms | candidates scored | checked |\n")
    out.write("|---|---|---|---|---|---|---|---|---|\n")
    for dim in (int(d) for d in args.dims.split(",")):
        run(tovik, dim, args.quick, out)


if __name__ == "__main__":
    main()
