"""Side-by-side benchmark: tovik against hnswlib, FAISS (flat inner product and a PQ index
of 64 subspaces) and an exact numpy brute-force search, on the same data.

Data: clustered synthetic vectors, and real text (lines of the Python standard library's
comments and docstrings) turned into vectors by the demo's hashing embedder; each at
10,000 and 100,000 documents of 384 and 768 floats, all L2-normalised so that inner
product and cosine agree. Every document carries the metadata {"category": c} with c in 0..9.

Per system and configuration, measured in a fresh subprocess of its own (so that one
system's memory does not pollute another's): add throughput, median and p99 latency of
single k=10 searches with and without a category filter (peers without a filter over-fetch
and post-filter), recall@10 against the exact answer, and resident memory per document.
tovik switches to quantized codes at 5000 documents by design, so its raw-vector memory is
measured at 4999 documents and its quantized memory as the growth per document after the
switch.

Run: make bench   (or: python bench/compare.py [--quick] with tovik, numpy, hnswlib,
faiss-cpu and matplotlib importable). Writes bench/results/compare.md and compare.png.
"""
import argparse
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import sysconfig
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
K = 10
CATEGORIES = 10
POST_FILTER_FETCH = 200  # peers without filters fetch this many, then keep the category
SYSTEMS = ["tovik", "hnswlib", "faiss-flat-ip", "faiss-pq64", "numpy-exact"]
RAW_LIMIT = 4999  # tovik quantizes when the collection reaches 5000 id slots


# ---------------------------------------------------------------------------------------
# Data

def text_passages():
    """Lines of natural text from the standard library's comments and docstrings, and
    pairs of consecutive such lines; deduplicated, in a fixed shuffled order."""
    root = sysconfig.get_paths()["stdlib"]
    words = re.compile(r"[A-Za-z]{3,}")
    code = re.compile(r"[=(){}\[\]]")
    lines = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages", "__pycache__"))
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), encoding="utf-8") as f:
                    text = f.read()
            except (OSError, UnicodeDecodeError):
                continue
            for line in text.splitlines():
                s = line.strip().lstrip("#").strip()
                if len(words.findall(s)) >= 4 and not code.search(s):
                    lines.append(s)
    passages = list(dict.fromkeys(lines + [a + " " + b for a, b in zip(lines, lines[1:])]))
    random.Random(0).shuffle(passages)
    return passages


def embed_all(passages, dims):
    """The demo's embedder (examples/demo.py): signed feature hashing of words and word
    pairs, L2-normalised; the same hashes serve every dimension."""
    word, stop = _demo_tokenizer()
    out = {d: np.zeros((len(passages), d), dtype=np.float32) for d in dims}
    for row, text in enumerate(passages):
        ws = [w for w in word.findall(text.lower()) if w not in stop]
        for feature in ws + [a + "_" + b for a, b in zip(ws, ws[1:])]:
            h = int.from_bytes(hashlib.blake2b(feature.encode(), digest_size=8).digest(), "little")
            weight = 1.0 if "_" not in feature else 0.5
            signed = weight if (h >> 32) & 1 else -weight
            for d in dims:
                out[d][row, h % d] += signed
    for d in dims:
        norms = np.linalg.norm(out[d], axis=1, keepdims=True)
        out[d] /= np.where(norms == 0, 1.0, norms)
    return out


def _demo_tokenizer():
    """The demo's word pattern and stop words, read from its source so that the bench
    embeds exactly as the demo does without importing tovik at data-preparation time."""
    import ast

    with open(os.path.join(ROOT, "examples", "demo.py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            if name in ("WORD", "STOPWORDS"):
                found[name] = node.value
    pattern = found["WORD"].args[0].value
    stop = found["STOPWORDS"].args[0].func.value.value
    return re.compile(pattern), set(stop.split())


def clustered(n, dim, seed):
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((100, dim)).astype(np.float32)
    labels = rng.integers(0, 100, n)
    x = centers[labels] + 0.6 * rng.standard_normal((n, dim)).astype(np.float32)
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def exact_top(docs, queries, cats, query_cats):
    """Exact top-K ids by inner product, unfiltered and within each query's category."""
    plain, filtered = [], []
    for start in range(0, len(queries), 64):
        s = queries[start:start + 64] @ docs.T
        plain.extend(np.argsort(-s, axis=1, kind="stable")[:, :K])
        s[cats[None, :] != query_cats[start:start + 64, None]] = -np.inf
        filtered.extend(np.argsort(-s, axis=1, kind="stable")[:, :K])
    return np.array(plain), np.array(filtered)


def prepare(cache, sizes, dims, n_queries):
    """Writes every configuration's documents, queries and exact answers to `cache`;
    returns the list of configurations."""
    os.makedirs(cache, exist_ok=True)
    n_max = max(sizes)
    sources = {}
    t = time.time()
    passages = text_passages()
    if len(passages) < n_max + n_queries:
        raise SystemExit("only %d text passages available" % len(passages))
    texts = embed_all(passages[:n_max] + passages[-n_queries:], dims)
    print("text: %d passages embedded in %.1f s" % (n_max + n_queries, time.time() - t), flush=True)
    for d in dims:
        sources[("text", d)] = texts[d]
        sources[("clustered", d)] = clustered(n_max + n_queries, d, seed=d)
    rng = np.random.default_rng(7)
    cats = rng.integers(0, CATEGORIES, n_max).astype(np.int32)
    query_cats = (np.arange(n_queries) % CATEGORIES).astype(np.int32)
    configs = []
    for (dataset, d), data in sorted(sources.items()):
        docs, queries = data[:n_max], data[n_max:]
        for n in sizes:
            name = "%s-%dk-%d" % (dataset, n // 1000, d)
            plain, filtered = exact_top(docs[:n], queries, cats[:n], query_cats)
            np.savez(os.path.join(cache, name + ".npz"), docs=docs[:n], queries=queries, cats=cats[:n],
                     query_cats=query_cats, truth=plain, truth_filtered=filtered)
            configs.append({"name": name, "dataset": dataset, "n": n, "dim": d})
    return configs


# ---------------------------------------------------------------------------------------
# Worker: one system on one configuration, in its own process

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Tovik:
    def __init__(self, dim, workdir):
        import tovik

        self.db = tovik.TovikDB(os.path.join(workdir, "tovik-db"))
        self.marks = {}

    def add(self, docs, cats, metas, rss0):
        for i in range(len(docs)):
            self.db.add(i, docs[i], metas[i])
            if i + 1 == RAW_LIMIT:
                self.marks["raw"] = (rss_bytes() - rss0) / RAW_LIMIT
            elif i + 1 == RAW_LIMIT + 1:
                self.marks["after_switch"] = rss_bytes()
        if "after_switch" in self.marks and len(docs) > RAW_LIMIT + 1:
            self.marks["quantized"] = (rss_bytes() - self.marks["after_switch"]) / (len(docs) - RAW_LIMIT - 1)
        self.marks.pop("after_switch", None)

    def search(self, q, cat):
        if cat is None:
            return [r[0] for r in self.db.search(q, K, None, False)]
        return [r[0] for r in self.db.search(q, K, '{"category": {"$eq": %d}}' % cat, False)]


class PostFiltered:
    """Peers without filters: over-fetch, keep the query's category, cut to K."""

    def search(self, q, cat):
        if cat is None:
            return self.top(q, K)
        ids = self.top(q, POST_FILTER_FETCH)
        return [i for i in ids if self.cats[i] == cat][:K]


class Hnsw(PostFiltered):
    def __init__(self, dim, workdir):
        import hnswlib

        self.index = hnswlib.Index(space="ip", dim=dim)

    def add(self, docs, cats, metas, rss0):
        self.cats = cats
        self.index.init_index(max_elements=len(docs), ef_construction=100, M=16)
        self.index.add_items(docs, np.arange(len(docs)), num_threads=2)
        self.index.set_num_threads(1)

    def top(self, q, k):
        self.index.set_ef(max(64, k))
        labels, _ = self.index.knn_query(q[None, :], k=k)
        return labels[0].tolist()


class Faiss(PostFiltered):
    def __init__(self, dim, workdir, pq):
        import faiss

        faiss.omp_set_num_threads(1)
        self.faiss = faiss
        if pq:
            self.index = faiss.IndexPQ(dim, 64, 8, faiss.METRIC_INNER_PRODUCT)
        else:
            self.index = faiss.IndexFlatIP(dim)

    def add(self, docs, cats, metas, rss0):
        self.cats = cats
        if not self.index.is_trained:
            # Trained on the first 5000 documents, as many as tovik's quantizer sees,
            # ten k-means rounds; training time counts towards the add rate.
            self.index.pq.cp.niter = 10
            self.index.pq.cp.min_points_per_centroid = 8
            self.index.train(docs[:min(len(docs), 5000)])
        self.index.add(docs)

    def top(self, q, k):
        _, labels = self.index.search(q[None, :], k)
        return [i for i in labels[0].tolist() if i >= 0]


class NumpyExact:
    def __init__(self, dim, workdir):
        pass

    def add(self, docs, cats, metas, rss0):
        self.docs = np.array(docs, dtype=np.float32, copy=True)
        self.cats = cats

    def search(self, q, cat):
        s = self.docs @ q
        if cat is not None:
            s = np.where(self.cats == cat, s, -np.inf)
        top = np.argpartition(-s, K)[:K]
        return top[np.argsort(-s[top], kind="stable")].tolist()


def make_system(name, dim, workdir):
    if name == "tovik":
        return Tovik(dim, workdir)
    if name == "hnswlib":
        return Hnsw(dim, workdir)
    if name == "faiss-flat-ip":
        return Faiss(dim, workdir, pq=False)
    if name == "faiss-pq64":
        return Faiss(dim, workdir, pq=True)
    return NumpyExact(dim, workdir)


def timed_searches(system, docs, doc_cats, queries, cats, truth):
    """Latencies and recall@K. A returned id counts as a hit when its exact score is at
    least the K-th best exact score (ties with the K-th document count), and, for
    filtered searches, it is in the query's category."""
    latencies, hits = [], 0
    for i, q in enumerate(queries):
        cat = None if cats is None else int(cats[i])
        t = time.perf_counter()
        ids = system.search(q, cat)
        latencies.append(time.perf_counter() - t)
        kth = float(docs[truth[i][-1]] @ q)
        found = [j for j in set(ids) if 0 <= j < len(docs)]
        hits += sum(1 for j in found if float(docs[j] @ q) >= kth - 1e-6
                    and (cat is None or doc_cats[j] == cat))
    ms = np.array(latencies) * 1000.0
    return {"median_ms": float(np.median(ms)), "p99_ms": float(np.percentile(ms, 99)),
            "recall": hits / (K * len(queries))}


def worker(system_name, data_path, workdir):
    data = np.load(data_path)
    docs, queries, cats = data["docs"], data["queries"], data["cats"]
    system = make_system(system_name, docs.shape[1], workdir)
    cats_list = cats.tolist()
    metas = ['{"category": %d}' % c for c in cats_list]
    rss0 = rss_bytes()
    t = time.perf_counter()
    system.add(docs, cats_list if system_name != "numpy-exact" else cats, metas, rss0)
    add_s = time.perf_counter() - t
    result = {"system": system_name, "adds_per_s": len(docs) / add_s,
              "bytes_per_doc": (rss_bytes() - rss0) / len(docs)}
    result["plain"] = timed_searches(system, docs, cats, queries, None, data["truth"])
    result["filtered"] = timed_searches(system, docs, cats, queries, data["query_cats"], data["truth_filtered"])
    result.update(getattr(system, "marks", {}))
    print(json.dumps(result))


# ---------------------------------------------------------------------------------------
# Report

def fmt_mem(r):
    text = "%.0f" % r["bytes_per_doc"]
    if "raw" in r:
        text += " (raw %.0f, quantized %.0f)" % (r["raw"], r.get("quantized", float("nan")))
    return text


def write_table(results, configs, path, elapsed, quick):
    lines = [
        "# Side-by-side benchmark%s" % (" (quick mode)" if quick else ""),
        "",
        "k = %d, single-query latency in ms (median / p99), recall@10 against the exact answer; "
        "filtered searches ask for one category of ten (peers post-filter the top %d). "
        "Memory: resident bytes per document in a fresh process (tovik: total, then raw "
        "vectors at %d documents and the growth per document once quantized). "
        "Whole run: %.0f s on %s (%d processors, load average %.1f at the end)."
        % (K, POST_FILTER_FETCH, RAW_LIMIT, elapsed, os.uname().machine, os.cpu_count(), os.getloadavg()[0]),
        "",
        "| data | system | adds/s | search ms (median / p99) | recall@10 | filtered ms (median / p99) "
        "| filtered recall@10 | bytes/doc |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for c in configs:
        for r in results[c["name"]]:
            p, f = r["plain"], r["filtered"]
            lines.append("| %s | %s | %.0f | %.3f / %.3f | %.3f | %.3f / %.3f | %.3f | %s |" % (
                c["name"], r["system"], r["adds_per_s"], p["median_ms"], p["p99_ms"], p["recall"],
                f["median_ms"], f["p99_ms"], f["recall"], fmt_mem(r)))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def write_chart(results, configs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n_max = max(c["n"] for c in configs)
    big = [c for c in configs if c["n"] == n_max]
    datasets = sorted({c["dataset"] for c in big})
    markers = dict(zip(SYSTEMS, "o^sDv"))
    colors = dict(zip(SYSTEMS, ["tab:red", "tab:blue", "tab:green", "tab:olive", "tab:gray"]))
    fig, axes = plt.subplots(1, len(datasets) + 1, figsize=(6 * (len(datasets) + 1), 5))
    for ax, dataset in zip(axes, datasets):
        for c in (c for c in big if c["dataset"] == dataset):
            for r in results[c["name"]]:
                hollow = c["dim"] != min(x["dim"] for x in big)
                ax.scatter(r["plain"]["median_ms"], r["plain"]["recall"], marker=markers[r["system"]],
                           s=70, facecolors="none" if hollow else colors[r["system"]],
                           edgecolors=colors[r["system"]], linewidths=1.5,
                           label="%s, %d-d" % (r["system"], c["dim"]))
        ax.set_xscale("log")
        ax.set_xlabel("median search latency, ms (log)")
        ax.set_ylabel("recall@10")
        ax.set_ylim(-0.02, 1.05)
        ax.set_title("%s data, %d documents" % (dataset, n_max))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, loc="lower right")
    ax = axes[-1]
    dims = sorted({c["dim"] for c in big})
    bars = []
    for system in SYSTEMS:
        for label, key, color in ([("tovik raw", "raw", colors[system]), ("tovik quantized", "quantized", "salmon")]
                                  if system == "tovik" else [(system, "bytes_per_doc", colors[system])]):
            vals = []
            for d in dims:
                c = next(c for c in big if c["dim"] == d and c["dataset"] == datasets[0])
                r = next(r for r in results[c["name"]] if r["system"] == system)
                vals.append(r.get(key, float("nan")))
            bars.append((label, vals, color))
    width = 0.8 / len(bars)
    for j, (label, vals, color) in enumerate(bars):
        xs = [i + j * width for i in range(len(dims))]
        ax.bar(xs, vals, width, label=label, color=color)
        for x, v in zip(xs, vals):
            ax.text(x, v, "%.0f" % v, ha="center", va="bottom", fontsize=6, rotation=90)
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(dims))])
    ax.set_xticklabels(["%d floats" % d for d in dims])
    ax.set_ylabel("resident bytes per document")
    ax.set_title("memory per document (%s, %d docs)" % (datasets[0], n_max))
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# ---------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="one small configuration, few queries")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "bench-cache"))
    parser.add_argument("--worker", nargs=3, metavar=("SYSTEM", "DATA", "WORKDIR"), help=argparse.SUPPRESS)
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite the table and chart from the last run's saved results")
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    suffix = "-quick" if args.quick else ""
    saved = os.path.join(args.out, "compare%s.json" % suffix)
    if args.report_only:
        with open(saved) as f:
            run = json.load(f)
        write_table(run["results"], run["configs"], os.path.join(args.out, "compare%s.md" % suffix),
                    run["seconds"], args.quick)
        write_chart(run["results"], run["configs"], os.path.join(args.out, "compare%s.png" % suffix))
        return None

    start = time.time()
    sizes, dims, n_queries = ([6000], [384], 30) if args.quick else ([10000, 100000], [384, 768], 200)
    configs = prepare(args.cache, sizes, dims, n_queries)
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    results = {}
    for c in configs:
        results[c["name"]] = []
        for system in SYSTEMS:
            workdir = os.path.join(args.cache, "work-" + system)
            subprocess.run(["rm", "-rf", workdir], check=True)
            os.makedirs(workdir)
            t = time.time()
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", system,
                                  os.path.join(args.cache, c["name"] + ".npz"), workdir],
                                 env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            results[c["name"]].append(r)
            print("%-18s %-14s %6.1f s  recall %.3f / %.3f  median %.3f ms" % (
                c["name"], system, time.time() - t, r["plain"]["recall"], r["filtered"]["recall"],
                r["plain"]["median_ms"]), flush=True)
            subprocess.run(["rm", "-rf", workdir], check=True)
    elapsed = time.time() - start
    os.makedirs(args.out, exist_ok=True)
    write_table(results, configs, os.path.join(args.out, "compare%s.md" % suffix), elapsed, args.quick)
    write_chart(results, configs, os.path.join(args.out, "compare%s.png" % suffix))
    with open(saved, "w") as f:
        json.dump({"configs": configs, "results": results, "seconds": elapsed}, f, indent=1)
    print("done in %.0f s: %s" % (elapsed, os.path.join(args.out, "compare%s.md" % suffix)))


if __name__ == "__main__":
    main()
