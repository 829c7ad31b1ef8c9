"""Per-call cost of two builds of the module in one process: both loaded side by side and
timed in alternation, 20 rounds of 1,000 calls each of add, search (k=10) and
build_results (100 pairs) after 3,000 warm-up calls (PyPy's JIT), so that a busy machine
weighs on both alike. Prints the best and the median round of each, and their ratio.

    [DIM=384] pypy3 bench/module_ab.py BEFORE.so AFTER.so"""
import importlib.machinery, importlib.util, sys, tempfile, time, random
def load(path):
    loader = importlib.machinery.ExtensionFileLoader("tovik", path)
    found = importlib.util.spec_from_file_location("tovik", path, loader=loader)
    m = importlib.util.module_from_spec(found); loader.exec_module(m)
    sys.modules.pop("tovik", None)
    return m
mods = {"before": load(sys.argv[1]), "after": load(sys.argv[2])}
assert mods["before"].TovikDB is not mods["after"].TovikDB
import os; rng = random.Random(7); dim = int(os.environ.get("DIM", "384"))
vecs = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(200)]
pairs = [(i, 0.5) for i in range(100)]
dbs = {k: m.TovikDB(tempfile.mkdtemp() + "/d") for k, m in mods.items()}
next_id = {k: 0 for k in mods}
def adds(k, n):
    db = dbs[k]; i0 = next_id[k]; next_id[k] += n
    for i in range(i0, i0 + n): db.add(i, vecs[i % 200], '{"a": 1}')
def searches(k, n):
    db = dbs[k]
    for j in range(n): db.search(vecs[j % 200], 10, None, False)
def builds(k, n):
    db = dbs[k]
    for j in range(n): db.build_results(pairs, False)
ops = [("add", adds), ("search", searches), ("build_results(100 pairs)", builds)]
for k in mods:  # warm-up: fills both stores alike and lets the JIT compile the loops
    adds(k, 3000); searches(k, 3000); builds(k, 3000)
best = {}
N, ROUNDS = 1000, 20   # 20k calls of each per variant
for r in range(ROUNDS):
    for name, f in ops:
        for k in (("before", "after") if r % 2 else ("after", "before")):
            t = time.perf_counter(); f(k, N); dt = (time.perf_counter() - t) / N * 1e6
            best.setdefault((name, k), []).append(dt)
for name, _ in ops:
    b = min(best[(name, "before")]); a = min(best[(name, "after")])
    mb = sorted(best[(name, "before")])[ROUNDS // 2]; ma = sorted(best[(name, "after")])[ROUNDS // 2]
    print("%-26s min %7.1f -> %7.1f us (x%.2f)   median %7.1f -> %7.1f us (x%.2f)" % (name, b, a, a / b, mb, ma, ma / mb))
