"""Threads, fork, signal handlers and iteration-overriding subclasses against the module,
one case per process, printing counts (not pass/fail: the tests in
tests/python/test_concurrency.py and test_buffers.py do that). Run each case under each
interpreter, against each build to compare:

    PYTHONPATH=build/pypy pypy3 bench/binding_probes.py CASE     (SECS=5 for threads*)

CASE: search+add, threads1, threads2, fork, signal-add, signal-search,
signal-build_results, firstcall, subclass."""
import array, os, signal, sys, tempfile, threading, time
import tovik
case = sys.argv[1]
def new():
    return tovik.TovikDB(tempfile.mkdtemp() + "/d")
V = [1.0, 2.0]

if case == "search+add":
    db = new()
    for i in range(2000): db.add(i, [float(i % 7), 1.0], "{}")
    done = threading.Event(); errs = [0]
    def s():
        while not done.is_set():
            try: db.search(V, 10)
            except RuntimeError: errs[0] += 1
    t = threading.Thread(target=s); t.start()
    bad = ok = 0
    for i in range(2000, 40000):
        try: db.add(i, V, "{}"); ok += 1
        except RuntimeError: bad += 1
    done.set(); t.join()
    print("adds raising RuntimeError: %d of 38000; searches raising: %d; count %s == 2000 + acked %d" % (bad, errs[0], db.count(), ok))

elif case.startswith("threads"):
    objects = int(case[-1]); secs = float(os.environ.get("SECS", "5"))
    dbs = [new() for _ in range(objects)]
    for db in dbs:
        for i in range(100): db.add(i, V, "{}")
    errs = [0]; end = time.monotonic() + secs
    def w(t):
        db = dbs[t % objects]; i = 1000 + t * 10**7
        while time.monotonic() < end:
            for call in (lambda: db.add(i, V, "{}"), lambda: db.search(V, 5), lambda: db.build_results([(1, 0.5)], True), db.count):
                try: call()
                except RuntimeError: errs[0] += 1
            i += 1
    ts = [threading.Thread(target=w, args=(t,)) for t in range(8)]
    [t.start() for t in ts]; [t.join() for t in ts]
    print("8 threads, %d object(s), %.0f s: %d RuntimeErrors" % (objects, secs, errs[0]))

elif case == "fork":
    db = new()
    for i in range(2000): db.add(i, [float(i % 7), 1.0], "{}")
    done = threading.Event()
    def s():
        while not done.is_set(): db.search(V, 10)
    t = threading.Thread(target=s); t.start()
    broken = 0
    for n in range(20):
        time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            try:
                db.add(5000, V, "{}"); db.search(V, 1); db.count(); os._exit(0)
            except BaseException:
                os._exit(1)
        _, st = os.waitpid(pid, 0)
        broken += st != 0
    done.set(); t.join()
    print("children whose add/search/count raised: %d of 20" % broken)

elif case == "firstcall":
    db = new()
    vec = [float(i % 5) + 0.5 for i in range(384)]
    class Alarm(Exception): pass
    st = {"in": False, "raised": 0}
    def h(*_):
        if st["in"]:
            st["in"] = False; st["raised"] += 1; raise Alarm()
    signal.signal(signal.SIGALRM, h)
    caught = 0
    signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
    i = 0
    while st["raised"] < 5:
        i += 1
        try:
            st["in"] = True; db.add(i, vec, "{}"); st["in"] = False
        except Alarm: caught += 1
    signal.setitimer(signal.ITIMER_REAL, 0)
    for j in range(3000): db.add(10**5 + j, vec, "{}")
    t = time.perf_counter()
    for j in range(3000): db.add(2 * 10**5 + j, vec, "{}")
    later = (time.perf_counter() - t) / 3000 * 1e6
    fresh = new()
    for j in range(3000): fresh.add(j, vec, "{}")
    t = time.perf_counter()
    for j in range(3000): fresh.add(10**5 + j, vec, "{}")
    ref = (time.perf_counter() - t) / 3000 * 1e6
    print("first calls: raised %d, caught %d, lost %d; later adds %.0f us vs %.0f us in a database of the same process = x%.1f" % (st["raised"], caught, st["raised"] - caught, later, ref, later / ref))

elif case.startswith("signal-"):
    op = case[len("signal-"):]
    db = new()
    for i in range(300): db.add(i, [float(i % 7), 1.0], '{"a": 1}')
    class Alarm(Exception): pass
    st = {"in": False, "raised": 0}
    def h(*_):
        if st["in"]:
            st["in"] = False; st["raised"] += 1; raise Alarm()
    signal.signal(signal.SIGALRM, h)
    call = {"add": lambda i: db.add(1000 + i, V, "{}"), "search": lambda i: db.search(V, 10),
            "build_results": lambda i: db.build_results([(j, 0.5) for j in range(40)], True)}[op]
    caught = 0
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    end = time.monotonic() + 2
    i = 0
    while time.monotonic() < end:
        i += 1
        try:
            st["in"] = True; call(i); st["in"] = False
        except Alarm: caught += 1
    signal.setitimer(signal.ITIMER_REAL, 0)
    print("%s: handler raised %d, caller caught %d, lost %d (%d calls)" % (op, st["raised"], caught, st["raised"] - caught, i))

elif case == "subclass":
    out = []
    A = type("A", (array.array,), {"__iter__": lambda self: iter([5.0] * len(self))})
    kinds = [("array d", lambda: A("d", [1.0, 2.0])), ("array f", lambda: A("f", [1.0, 2.0]))]
    try:
        import numpy as np
        N = type("N", (np.ndarray,), {"__iter__": lambda self: iter([5.0] * len(self))})
        kinds.append(("numpy", lambda: np.array([1.0, 2.0]).view(N)))
    except ImportError:
        pass
    for name, make in kinds:
        db = new(); db.add(0, make(), "{}"); a = db.search([1.0, 0.0], 1)[0][1]
        db = new(); db.add(0, [1.0, 0.0], "{}"); s = db.search(make(), 1)[0][1]
        out.append("%s add %r search %r" % (name, a, s))
    print("; ".join(out))
