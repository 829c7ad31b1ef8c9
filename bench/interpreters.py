"""tovik under CPython and PyPy, side by side: add rates (raw and quantized, 4000 adds
each into a store of similar size) and search
latency (k=10, no filter and no metadata; filter with metadata) on 384-float Python
lists with small JSON metadata, plus hnswlib (M=16, ef=64) on the same vectors. Every
figure of one table comes from one run, so the ratios compare like with like on a
shared, noisy machine; absolute times only describe that run.

    python3 bench/interpreters.py --build after=build [--build before=/tmp/base/build]
        [--docs 40000] [--queries 300] [--out bench/results/interpreters.md]
    python3 bench/interpreters.py --armhf build --docs 10000 --queries 100 [--rounds 3]
        [--out bench/results/interpreters.md]

Each --build directory must hold host/ (CPython module) and pypy/ (PyPy module). Each
measurement runs in a fresh child process of the interpreter named. --out rewrites the
file with the x86-64 table.

--armhf DIR runs the same measurements under armhf CPython 3.11 and armhf PyPy through
scripts/armhf-python.sh (qemu-arm, the interpreter root of $ARMHF_ROOT or DIR/armhf-root,
the modules of DIR/armhf-py: `make build-armhf-python`). Emulation makes absolute times
meaningless, so its section holds ratios only; it replaces its own section of --out, or
is appended to it, and leaves the rest of the file as it is.
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
# Calls made before the timed ones, of the same loop: PyPy's JIT compiles a loop only
# after about 1600 passes through it, and until then runs it (and every call into the
# module) in its interpreter. A program on the board calls add and search far more often;
# its steady state is what is measured. (CPython does not change with it.)
WARMUP = 2000
QUANTIZE_AT = 5001  # first id added after the store switches to quantized vectors
INTERPRETERS = [("CPython", "python3", "host"), ("PyPy", "pypy3", "pypy")]
ARMHF_INTERPRETERS = [("CPython 3.11", "python3.11"), ("PyPy", "pypy3")]
ARMHF_SCRIPT = os.path.join(HERE, "..", "scripts", "armhf-python.sh")
X86_HEADING = "# tovik under CPython and PyPy"
ARMHF_HEADING = "## armhf (ARMv7-A hard-float) under qemu-user"

CHILD = r"""
import json, platform, shutil, statistics, sys, time
sys.path.insert(0, %(here)r)
from synthetic import Corpus, FILTER, quiet_fd1, temp_dir
out = quiet_fd1()
import tovik
docs = %(docs)d
corpus = Corpus(%(dim)d)
vectors = [corpus.vector(i) for i in range(docs)]
metas = [corpus.metadata_json(i) for i in range(docs)]
queries = [corpus.query(j)[0] for j in range(%(queries)d)]
def add_range(db, lo, hi):
    start = time.perf_counter()
    for i in range(lo, hi):
        db.add(i, vectors[i], metas[i])
    return (hi - lo) / (time.perf_counter() - start)
warm_path = temp_dir()
add_range(tovik.TovikDB(warm_path), 0, min(%(warmup)d, %(switch)d - 1))  # the JIT's warm-up, raw adds
shutil.rmtree(warm_path, ignore_errors=True)
path = temp_dir()
db = tovik.TovikDB(path)
raw = add_range(db, 0, %(raw)d)
add_range(db, %(raw)d, %(switch)d)
quantized = add_range(db, %(switch)d, %(switch)d + %(raw)d)
add_range(db, %(switch)d + %(raw)d, docs)
filt = json.dumps(FILTER)
def p50(call):
    times = []
    for j in range(%(warmup)d + len(queries)):  # one loop: the warm-up compiles the loop timed
        q = queries[j %% len(queries)]
        t = time.perf_counter()
        call(q)
        times.append(time.perf_counter() - t)
    return statistics.median(times[%(warmup)d:]) * 1e3
plain = p50(lambda q: db.search(q, 10, include_metadata=False))
filtered = p50(lambda q: db.search(q, 10, filt, True))
shutil.rmtree(path, ignore_errors=True)
version = platform.python_version()
if hasattr(sys, "pypy_version_info"):
    version += " (PyPy %%d.%%d.%%d)" %% tuple(sys.pypy_version_info[:3])
out.write(json.dumps({"raw": raw, "quantized": quantized, "search": plain, "filtered": filtered,
                     "version": version, "machine": platform.machine()}))
"""


def child_code(docs, queries):
    return CHILD % {"here": HERE, "docs": docs, "dim": DIM, "queries": queries, "raw": RAW_DOCS,
                    "switch": QUANTIZE_AT, "warmup": WARMUP}


def run_command(command, env):
    """The figures a child printed last; its error output is shown when it fails."""
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit("%s failed with status %d" % (command[:4], done.returncode))
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_child(interpreter, module_dir, docs, queries=QUERIES):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(module_dir))
    return run_command([interpreter, "-c", child_code(docs, queries)], env)


def run_armhf_child(interpreter, build_dir, docs, queries):
    """The same child under an armhf interpreter: armhf-python.sh starts it through
    qemu-arm with the module cross-built for it (and -S: no host site directories)."""
    env = dict(os.environ, BUILD=os.path.abspath(build_dir))
    return run_command(["bash", ARMHF_SCRIPT, "run", interpreter, "-c", child_code(docs, queries)], env)


def hnswlib_p50(docs, count=QUERIES):
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
    queries = [np.array([corpus.query(j)[0]], dtype=np.float32) for j in range(count)]
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
    lines += ["", "%d documents of %d floats; search over the quantized store; hnswlib p50: %s. Every "
              "figure of tovik is timed after %d warm-up calls of the same loop (adds: %d), so that PyPy's JIT "
              "has compiled it." % (docs, DIM, "%.3f ms" % hnsw if hnsw else "not installed", WARMUP,
                                    min(WARMUP, QUANTIZE_AT - 1))]
    return "\n".join(lines) + "\n"


FIELDS = ("raw", "quantized", "search", "filtered")


def ratios(c, p):
    """PyPy against CPython: add rates (higher is better), search latencies (lower is better)."""
    return [p["raw"] / c["raw"], p["quantized"] / c["quantized"], p["search"] / c["search"],
            p["filtered"] / c["filtered"]]


def armhf_section(rounds, docs, queries, command):
    """Ratios only: under qemu every instruction is translated (and PyPy's machine code
    translated again), so an absolute time says nothing about a board. Each round
    measures both interpreters; medians over rounds damp the load of a shared machine."""
    names = [name for name, _ in ARMHF_INTERPRETERS]
    lines = [ARMHF_HEADING, "", "Command: `%s`" % command, "",
             "Debian's armhf CPython and PyPy run by qemu-arm (user mode) on this x86-64",
             "machine, each measurement in a fresh child process, as above, in %s" % (
                 "one round" if len(rounds) == 1 else "%d rounds" % len(rounds)),
             "(the order of the two interpreters alternates). Absolute times under emulation",
             "mean nothing, so none is shown: only ratios measured in this run. Even these lean:",
             "qemu emulates the core's floating-point work at another cost than the",
             "interpreters' integer work, so quantized / raw says little about a board; PyPy /",
             "CPython compares one emulated core under two interpreters. hnswlib has no armhf",
             "build here, hence n/a.", "",
             "| interpreter | version | machine | quantized / raw add (median) | search / hnswlib |",
             "|---|---|---|---|---|"]
    for name in names:
        r = rounds[0][name]
        lines.append("| %s | %s | %s | %.2f | n/a |" % (name, r["version"], r["machine"], statistics.median(
            one[name]["quantized"] / one[name]["raw"] for one in rounds)))
    lines += ["", "PyPy against CPython (add: rate ratio, higher is better; search: latency ratio, "
              "lower is better):", "", "| round | add raw | add quantized | search | filtered+metadata |",
              "|---|---|---|---|---|"]
    per_round = [ratios(one[names[0]], one[names[1]]) for one in rounds]
    for number, row in enumerate(per_round, 1):
        lines.append("| %d | %s |" % (number, " | ".join("%.2f" % x for x in row)))
    if len(rounds) > 1:
        lines.append("| median | %s |" % " | ".join("%.2f" % statistics.median(column) for column in zip(*per_round)))
    lines += ["", "%d documents of %d floats (%d raw and %d quantized adds timed); %d queries "
              "timed after %d warm-up calls of the same loop (and the adds after %d warm-up adds); search over "
              "the quantized store." % (docs, DIM, RAW_DOCS, RAW_DOCS, queries, WARMUP, min(WARMUP, QUANTIZE_AT - 1))]
    return "\n".join(lines) + "\n"


def replace_section(path, heading, body):
    """Writes body in place of the section that starts with heading (up to the next
    section of the same level), or after the file's text when it has none."""
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
    start = old.find(heading + "\n")
    if start >= 0:
        end = old.find("\n## ", start + len(heading))
        new = old[:start] + body + ("" if end < 0 else old[end:])
    else:
        new = (old.rstrip("\n") + "\n\n" if old.strip() else "") + body
    with open(path, "w") as f:
        f.write(new)


def command_line():
    prefix = ["ARMHF_ROOT=%s" % os.environ["ARMHF_ROOT"]] if os.environ.get("ARMHF_ROOT") else []
    return " ".join(prefix + ["python3", "bench/interpreters.py"] + sys.argv[1:])


def run_armhf(args):
    rounds = []
    for number in range(args.rounds):
        results = {}
        order = ARMHF_INTERPRETERS if number % 2 == 0 else ARMHF_INTERPRETERS[::-1]
        for name, interpreter in order:
            started = time.perf_counter()
            results[name] = run_armhf_child(interpreter, args.armhf, args.docs, args.queries)
            print("armhf round", number + 1, name, results[name], "(%.0f s)" % (time.perf_counter() - started),
                  flush=True)
        rounds.append(results)
    text = armhf_section(rounds, args.docs, args.queries, command_line())
    print(text)
    if args.out:
        replace_section(args.out, ARMHF_HEADING, text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", default=[], help="LABEL=DIR")
    parser.add_argument("--armhf", metavar="DIR", help="build directory with armhf-py/ (qemu)")
    parser.add_argument("--docs", type=int, default=40000)
    parser.add_argument("--queries", type=int, default=QUERIES)
    parser.add_argument("--rounds", type=int, default=1,
                        help="measure every interpreter this many times, report the medians")
    parser.add_argument("--out")
    args = parser.parse_args()
    if not args.build and not args.armhf:
        parser.error("give --build LABEL=DIR, --armhf DIR or both")
    if args.docs < QUANTIZE_AT + RAW_DOCS:
        parser.error("--docs must be at least %d (the quantized adds timed end there)" % (QUANTIZE_AT + RAW_DOCS))
    if args.queries <= 0 or args.rounds <= 0:
        parser.error("--queries and --rounds must be positive")
    if args.build:
        run_x86(args)
    if args.armhf:
        run_armhf(args)


def run_x86(args):
    """Every build under both interpreters, and hnswlib, once per round (the order of
    the interpreters alternating); the table shows each figure's median over rounds."""
    rounds, hnsw_rounds = [], []
    for number in range(args.rounds):
        results = {}
        order = INTERPRETERS if number % 2 == 0 else INTERPRETERS[::-1]
        for labelled in args.build:
            label, directory = labelled.split("=", 1)
            for name, interpreter, sub in order:
                results[(label, name)] = run_child(interpreter, os.path.join(directory, sub), args.docs,
                                                   args.queries)
                print("round", number + 1, label, name, results[(label, name)], flush=True)
        rounds.append(results)
        hnsw_rounds.append(hnswlib_p50(args.docs, args.queries))
    medians = {key: {field: statistics.median(one[key][field] for one in rounds) for field in FIELDS}
               for key in rounds[0]}
    hnsw = None if None in hnsw_rounds else statistics.median(hnsw_rounds)
    text = "%s\n\nCommand: `%s`\n\n%s" % (X86_HEADING,
        " ".join(["python3", "bench/interpreters.py"] + sys.argv[1:]), table(medians, hnsw, args.docs))
    if len(rounds) > 1:
        text += x86_rounds(rounds, hnsw_rounds)
    print(text)
    if args.out:
        replace_section(args.out, X86_HEADING, text)


def x86_rounds(rounds, hnsw_rounds):
    """PyPy against CPython, and search against hnswlib, in each round."""
    lines = ["", "Each round (the table above shows each figure's median over them):", "",
             "| round | build | PyPy/CPython add raw | add quantized | search | filtered+metadata "
             "| CPython search / hnswlib | PyPy search / hnswlib |", "|---|---|---|---|---|---|---|---|"]
    for number, (results, hnsw) in enumerate(zip(rounds, hnsw_rounds), 1):
        for build in dict.fromkeys(b for b, _ in results):
            c, p = results[(build, "CPython")], results[(build, "PyPy")]
            versus = ["%.2f" % (r["search"] / hnsw) if hnsw else "n/a" for r in (c, p)]
            lines.append("| %d | %s | %s | %s |" % (number, build, " | ".join("%.2f" % x for x in ratios(c, p)),
                                                   " | ".join(versus)))
    return "\n".join(lines) + "\n"

if __name__ == "__main__":
    main()
