"""tovik under CPython and PyPy, side by side: add rates (raw and quantized, 4000 adds
each into a store of similar size) and search
latency (k=10, no filter and no metadata; filter with metadata) on 384-float Python
lists with small JSON metadata, plus hnswlib (M=16, ef=64) on the same vectors. Every
figure of one table comes from one run, so the ratios compare like with like on a
shared, noisy machine; absolute times only describe that run.

    python3 bench/interpreters.py --build after=build [--build before=/tmp/base/build]
        [--docs 40000] [--out bench/results/interpreters.md]

Each build directory must hold host/ (CPython module) and pypy/ (PyPy module). Each
measurement runs in a fresh child process of the interpreter named.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DIM = 384
RAW_DOCS = 4000  # adds timed: ids 0..3999 raw (the switch comes at 5000 slots), 5001..9000 quantized
QUERIES = 300
INTERPRETERS = [("CPython", "python3", "host"), ("PyPy", "pypy3", "pypy")]

CHILD = r"""
import json, shutil, statistics, sys, time
sys.path.insert(0, %(here)r)
from synthetic import Corpus, FILTER, quiet_fd1, temp_dir
out = quiet_fd1()
import tovik
docs = %(docs)d
corpus = Corpus(%(dim)d)
vectors = [corpus.vector(i) for i in range(docs)]
metas = [corpus.metadata_json(i) for i in range(docs)]
queries = [corpus.query(j)[0] for j in range(%(queries)d)]
path = temp_dir()
db = tovik.TovikDB(path)
start = time.perf_counter()
for i in range(%(raw)d):
    db.add(i, vectors[i], metas[i])
raw = %(raw)d / (time.perf_counter() - start)
for i in range(%(raw)d, 5001):
    db.add(i, vectors[i], metas[i])
start = time.perf_counter()
for i in range(5001, 5001 + %(raw)d):
    db.add(i, vectors[i], metas[i])
quantized = %(raw)d / (time.perf_counter() - start)
for i in range(5001 + %(raw)d, docs):
    db.add(i, vectors[i], metas[i])
filt = json.dumps(FILTER)
def p50(call):
    for q in queries[:50]:
        call(q)
    times = []
    for q in queries:
        t = time.perf_counter()
        call(q)
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e3
plain = p50(lambda q: db.search(q, 10, include_metadata=False))
filtered = p50(lambda q: db.search(q, 10, filt, True))
shutil.rmtree(path, ignore_errors=True)
out.write(json.dumps({"raw": raw, "quantized": quantized, "search": plain, "filtered": filtered}))
"""


def run_child(interpreter, module_dir, docs):
    code = CHILD % {"here": HERE, "docs": docs, "dim": DIM, "queries": QUERIES, "raw": RAW_DOCS}
    env = dict(os.environ, PYTHONPATH=os.path.abspath(module_dir))
    done = subprocess.run([interpreter, "-c", code], env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def hnswlib_p50(docs):
    """Median k=10 query latency of hnswlib on the same vectors, or None without it."""
    try:
        import hnswlib
        import numpy as np
    except ImportError:
        return None
    sys.path.insert(0, HERE)
    from synthetic import Corpus

    corpus = Corpus(DIM)
    data = np.array([corpus.vector(i) for i in range(docs)], dtype=np.float32)
    index = hnswlib.Index(space="cosine", dim=DIM)
    index.init_index(max_elements=docs, M=16, ef_construction=200, random_seed=1)
    index.add_items(data, np.arange(docs))
    index.set_ef(64)
    queries = [np.array([corpus.query(j)[0]], dtype=np.float32) for j in range(QUERIES)]
    times = []
    for q in queries:
        t = time.perf_counter()
        index.knn_query(q, k=10)
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e3


def table(results, hnsw, docs):
    lines = ["| build | interpreter | add raw /s | add quantized /s | quantized / raw | search p50 ms "
             "| filtered+metadata p50 ms | search / hnswlib |",
             "|---|---|---|---|---|---|---|---|"]
    for (build, name), r in results.items():
        versus = "%.2f" % (r["search"] / hnsw) if hnsw else "n/a"
        lines.append("| %s | %s | %.0f | %.0f | %.2f | %.3f | %.3f | %s |" % (
            build, name, r["raw"], r["quantized"], r["quantized"] / r["raw"], r["search"], r["filtered"], versus))
    lines += ["", "PyPy against CPython in the same build (add: rate ratio, higher is better; "
              "search: latency ratio, lower is better):", "",
              "| build | add raw | add quantized | search | filtered+metadata |", "|---|---|---|---|---|"]
    for build in dict.fromkeys(b for b, _ in results):
        c, p = results.get((build, "CPython")), results.get((build, "PyPy"))
        if c and p:
            lines.append("| %s | %.2f | %.2f | %.2f | %.2f |" % (
                build, p["raw"] / c["raw"], p["quantized"] / c["quantized"], p["search"] / c["search"],
                p["filtered"] / c["filtered"]))
    lines += ["", "%d documents of %d floats; search over the quantized store; hnswlib p50: %s ms." % (
        docs, DIM, "%.3f" % hnsw if hnsw else "not installed")]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", required=True, help="LABEL=DIR")
    parser.add_argument("--docs", type=int, default=40000)
    parser.add_argument("--out")
    args = parser.parse_args()
    results = {}
    for labelled in args.build:
        label, directory = labelled.split("=", 1)
        for name, interpreter, sub in INTERPRETERS:
            results[(label, name)] = run_child(interpreter, os.path.join(directory, sub), args.docs)
            print(label, name, results[(label, name)], flush=True)
    hnsw = hnswlib_p50(args.docs)
    text = "# tovik under CPython and PyPy\n\nCommand: `%s`\n\n%s" % (
        " ".join(["python3", "bench/interpreters.py"] + sys.argv[1:]), table(results, hnsw, args.docs))
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
