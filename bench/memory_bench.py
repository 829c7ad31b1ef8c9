"""Memory and time of a large collection: resident bytes per document, adds per second
per slice, filtered-search latency at three selectivities, and count/search latency.

Documents carry `{"ts": increasing float, "price": random float, "qty": small int,
"cat": one of 10 strings}` (or, with --fields cat, only "cat", which keeps the numeric
index out of the figures). Every configuration runs in a fresh process with the
address space capped (--as-limit, like a 32-bit board), so a run that outgrows it stops
with MemoryError and reports how far it got.

    python3 bench/memory_bench.py                      # default grid, CPython and PyPy
    python3 bench/memory_bench.py --docs 100000 --dims 8 --fields full cat --ttl no yes
    python3 bench/memory_bench.py --armhf --docs 1000000 --dims 8 --fields cat

--module-dir names the build trees to import tovik from (host and pypy by default);
--armhf runs under qemu-arm through scripts/armhf-python.sh and subtracts the resident
memory of the same run with no documents. Results go to --output as a markdown table.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TS0 = 1.7e9
TS_STEP = 0.37
CATS = ["c%d" % i for i in range(10)]
SELECTIVITIES = (0.001, 0.1, 0.5)
LATENCY_REPS = 30
TTL = 10 ** 9


def resident_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def metadata(i, rng, fields):
    cat = CATS[i % 10]
    if fields == "cat":
        return '{"cat": "%s"}' % cat
    return '{"ts": %r, "price": %r, "qty": %d, "cat": "%s"}' % (
        TS0 + TS_STEP * i, round(rng.uniform(1, 1000), 2), rng.randrange(20), cat)


def median_ms(fn, reps=LATENCY_REPS):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2] * 1000.0


def child(cfg):
    """Builds one collection and prints its figures as one JSON line."""
    import resource
    import tovik
    if cfg["as_limit"]:
        resource.setrlimit(resource.RLIMIT_AS, (cfg["as_limit"], resource.RLIM_INFINITY))
    rng = random.Random(7)
    docs, dim, fields = cfg["docs"], cfg["dim"], cfg["fields"]
    ttl = TTL if cfg["ttl"] else None
    db = tovik.TovikDB(cfg["path"])
    base = resident_bytes()
    slice_size = max(1, min(100000, docs // 10))
    out = {"added": 0, "slices": [], "error": None}
    try:
        spent = 0.0  # time inside add only, not making the document
        deadline = time.time() + cfg["budget"] if cfg["budget"] else None
        for i in range(docs):
            if deadline and time.time() > deadline:
                out["error"] = "time budget (%d s)" % cfg["budget"]
                break
            vector = [rng.uniform(-1.0, 1.0) for _ in range(dim)]
            text = metadata(i, rng, fields)
            start = time.perf_counter()
            db.add(i, vector, text, ttl)
            spent += time.perf_counter() - start
            out["added"] = i + 1
            if (i + 1) % slice_size == 0:
                out["slices"].append(round(slice_size / spent))
                spent = 0.0
    except MemoryError:
        out["error"] = "MemoryError"
    partial = out["error"] is not None
    out["bytes_per_doc"] = (resident_bytes() - base) / max(1, out["added"]) if docs else 0
    out["resident"] = resident_bytes()
    if partial or docs == 0:
        print(json.dumps(out))
        return
    query = [rng.uniform(-1.0, 1.0) for _ in range(dim)]
    out["count_ms"] = median_ms(db.count)
    out["search_ms"] = median_ms(lambda: db.search(query, 10, None, False))
    out["cat_ms"] = median_ms(lambda: db.search(query, 10, '{"cat": {"$eq": "c3"}}', False))
    if fields == "full":
        for sel in SELECTIVITIES:
            bound = TS0 + TS_STEP * docs * sel
            flt = '{"ts": {"$lt": %r}}' % bound
            out["range_%g" % sel] = median_ms(lambda: db.search(query, 10, flt, False))
    print(json.dumps(out))


def run_child(cfg, interpreter, module_dir, armhf):
    env = dict(os.environ)
    payload = json.dumps(cfg)
    if armhf:
        cmd = ["bash", os.path.join(ROOT, "scripts", "armhf-python.sh"), "run", interpreter,
               os.path.abspath(__file__), "--child", payload]
    else:
        env["PYTHONPATH"] = module_dir
        cmd = [interpreter, os.path.abspath(__file__), "--child", payload]
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("{")]
    if proc.returncode != 0 or not lines:
        return {"added": 0, "error": "exit %d: %s" % (proc.returncode, proc.stderr.strip()[-300:])}
    return json.loads(lines[-1])


def fmt(value, digits=2):
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.*f" % (digits, value)
    return str(value)


def row(label, interp, cfg, res):
    slices = res.get("slices") or []
    adds = " / ".join(fmt(x) for x in slices) if slices else "-"
    ranges = " / ".join(fmt(res.get("range_%g" % s), 3) for s in SELECTIVITIES) if cfg["fields"] == "full" else "n/a"
    status = "ok" if not res.get("error") else "%s after %d" % (res["error"][:60], res.get("added", 0))
    return "| %s | %s | %d | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
        label, interp, cfg["docs"], cfg["dim"], cfg["fields"], "yes" if cfg["ttl"] else "no",
        status, fmt(res.get("bytes_per_doc"), 0), adds, ranges, fmt(res.get("cat_ms"), 3),
        fmt(res.get("count_ms"), 4), fmt(res.get("search_ms"), 3))


HEADER = ("| build | interpreter | docs | dim | fields | ttl | outcome | resident B/doc | adds/s per slice (tenths, at most 100,000 docs each) "
          "| ts range ms (0.1 % / 10 % / 50 %) | cat search ms | count ms | search ms |\n"
          "|---|---|---|---|---|---|---|---|---|---|---|---|---|")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--docs", type=int, nargs="+", default=[100000, 1000000])
    p.add_argument("--dims", type=int, nargs="+", default=[8, 384])
    p.add_argument("--fields", nargs="+", choices=["full", "cat"], default=["full", "cat"])
    p.add_argument("--ttl", nargs="+", choices=["no", "yes"], default=["no"])
    p.add_argument("--interpreters", nargs="+", default=None,
                   help="host: python3 pypy3 (default both); --armhf: python3.11 pypy3")
    p.add_argument("--module-dir", nargs="+", default=None,
                   help="build tree per interpreter, in the same order (default build/host build/pypy)")
    p.add_argument("--label", default="this tree", help="the build's name in the table")
    p.add_argument("--armhf", action="store_true", help="run under qemu-arm, less a run with no documents")
    p.add_argument("--as-limit", type=int, default=4 << 30, help="address-space cap in bytes (0: none; not under qemu)")
    p.add_argument("--budget", type=int, default=0, help="stop adding after this many seconds (0: never)")
    p.add_argument("--output", default=os.path.join(HERE, "results", "memory.md"))
    p.add_argument("--append", action="store_true", help="add rows to --output instead of replacing it")
    return p.parse_args(argv)


def main(argv):
    if argv[:1] == ["--child"]:
        child(json.loads(argv[1]))
        return
    args = parse_args(argv)
    interps = args.interpreters or (["python3.11", "pypy3"] if args.armhf else ["python3", "pypy3"])
    dirs = args.module_dir or [os.path.join(ROOT, "build", "host"), os.path.join(ROOT, "build", "pypy")]
    scratch = os.path.join("/tmp", "tovik-memory-bench-%d" % os.getpid())
    rows = []
    for n, interp in enumerate(interps):
        for docs in args.docs:
            for dim in args.dims:
                for fields in args.fields:
                    for ttl in args.ttl:
                        cfg = {"docs": docs, "dim": dim, "fields": fields, "ttl": ttl == "yes",
                               "path": "%s-%d" % (scratch, len(rows)),
                               "as_limit": 0 if args.armhf else args.as_limit, "budget": args.budget}
                        res = run_child(cfg, interp, dirs[min(n, len(dirs) - 1)], args.armhf)
                        if args.armhf and not res.get("error"):
                            empty = run_child(dict(cfg, docs=0), interp, None, True)
                            res["bytes_per_doc"] = (res["resident"] - empty.get("resident", 0)) / max(1, res["added"])
                        subprocess.call(["rm", "-rf", cfg["path"]])
                        rows.append(row(args.label + (" (armhf, qemu)" if args.armhf else ""), interp, cfg, res))
                        print(rows[-1], flush=True)
    write_table(args, rows, argv)


def write_table(args, rows, argv):
    command = "python3 bench/memory_bench.py " + " ".join(argv)
    if args.append and os.path.exists(args.output):
        with open(args.output, "a") as f:
            f.write("\n`%s`\n\n%s\n%s\n" % (command, HEADER, "\n".join(rows)))
        return
    with open(args.output, "w") as f:
        f.write("# Memory benchmark\n\n")
        f.write("Resident bytes per document are the process's resident set after the adds less before "
                "them (under qemu: less the same run with no documents), divided by the documents added. "
                "Latencies are medians of %d calls of k=10 searches without metadata.\n\n" % LATENCY_REPS)
        f.write("`%s`\n\n%s\n%s\n" % (command, HEADER, "\n".join(rows)))


if __name__ == "__main__":
    main(sys.argv[1:])
