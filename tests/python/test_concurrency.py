"""Other threads, fork and signal handlers meeting calls in progress. Every call holds the
interpreter lock from start to end, so another thread can never find an instance
borrowed, a child forked from any thread gets a usable instance, and every exception a
signal handler raises reaches the caller. Bounded in time; TOVIK_STRESS_SCALE (0.2 under
the armhf emulator) scales the iteration counts."""
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import python_command
from tovik import TovikDB

# Under qemu (armhf or arm64): no address-space limits, a threaded fork that is the
# emulator's, and far slower floating point.
EMULATED = os.environ.get("TOVIK_TARGET") in ("armhf", "arm64")
SCALE = float(os.environ.get("TOVIK_STRESS_SCALE", "0.2" if EMULATED else "1"))
V = [1.0, 2.0]


def scaled(n):
    return max(1, int(n * SCALE))


@pytest.fixture(autouse=True)
def frequent_switches():
    """Threads switch every 10 us instead of every 5 ms, so that a switch can land
    anywhere inside a call."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def fill(db, n):
    for i in range(n):
        db.add(i, [float(i % 7), 1.0], '{"fill": %d}' % i)


def loop_in_thread(body):
    """Runs body() repeatedly on another thread until the returned stop() is called;
    stop() returns the errors body raised."""
    done, errors = threading.Event(), []

    def run():
        while not done.is_set():
            try:
                body()
            except Exception as e:
                errors.append(repr(e))

    thread = threading.Thread(target=run)
    thread.start()

    def stop():
        done.set()
        thread.join(60)
        return errors

    return stop


def test_adds_beside_a_searching_thread(db):
    n = scaled(2000)
    fill(db, n)
    stop = loop_in_thread(lambda: db.search(V, 10))
    errors, added = [], 0
    try:
        for i in range(n, n + scaled(5000)):
            try:
                db.add(i, V, "{}")
                added += 1
            except RuntimeError as e:
                errors.append(repr(e))
    finally:
        errors += stop()
    assert not errors, "%d errors, first: %s" % (len(errors), errors[0])
    assert db.count() == n + added


@pytest.mark.parametrize("objects", [1, 2])
def test_threads_sharing_objects(tmp_path, objects):
    """Six threads mix every method on one or two instances for a second; every answer
    agrees with the adds acknowledged so far, and afterwards each instance holds exactly
    those, under their metadata."""
    dbs = [TovikDB(str(tmp_path / str(i))) for i in range(objects)]
    for db in dbs:
        fill(db, 100)
    deadline = time.monotonic() + max(0.5, SCALE)
    acked, errors = [[] for _ in range(6)], []

    def worker(t):
        db, meta, vector = dbs[t % objects], '{"t": %d}' % t, [float(t), 1.0]
        mine = '{"t": {"$eq": %d}}' % t
        for doc in range(1000 + t, 10**6, 6):  # ids stay dense: per-id tables grow to the highest
            if time.monotonic() > deadline:
                return
            try:
                db.add(doc, vector, meta)
                acked[t].append(doc)
                assert db.build_results([(doc, 0.5)], True) == [(doc, 0.5, meta)]
                assert set(r[0] for r in db.search(vector, 5, mine, False)) <= set(acked[t])
                assert db.delete('{"t": {"$eq": -1}}') == 0 and db.count() >= 100
            except Exception as e:
                errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not errors, "%d errors, first: %s" % (len(errors), errors[0])
    for t, ids in enumerate(acked):
        found = dbs[t % objects].search([float(t), 1.0], 10**6, '{"t": {"$eq": %d}}' % t, False)
        assert sorted(r[0] for r in found) == ids
    for o, db in enumerate(dbs):  # the count of a store with no deletions: one more than its highest id
        assert db.count() == 1 + max([99] + [ids[-1] for t, ids in enumerate(acked) if t % objects == o and ids])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_beside_a_searching_thread_is_usable(db):
    n = scaled(2000)
    fill(db, n)
    stop = loop_in_thread(lambda: db.build_results([r[:2] for r in db.search(V, 10, None, False)], True))
    outcomes = []
    try:
        for _ in range(scaled(20)):
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:  # the child: only this thread exists here
                signal.alarm(120)  # a hang ends the child, and shows as an empty outcome
                outcome = "ok"
                try:
                    db.add(n, [-1.0, -5.0], '{"child": 1}')
                    assert db.count() == n + 1
                    assert db.search([-1.0, -5.0], 1) == [(n, 1.0, '{"child": 1}')]
                except BaseException as e:
                    outcome = repr(e)
                os.write(write, outcome.encode()[:500])
                os._exit(0)
            os.close(write)
            with os.fdopen(read, "rb") as pipe:
                outcomes.append(pipe.read().decode())
            os.waitpid(pid, 0)
    finally:
        errors = stop()
    assert errors == []
    assert outcomes == ["ok"] * len(outcomes)


class Alarm(Exception):
    pass


SIGNALLED_CALLS = {
    "add": lambda db, i: db.add(10000 + i, V, "{}"),
    "search": lambda db, i: db.search(V, 10),
    "build_results": lambda db, i: db.build_results([(j, 0.5) for j in range(40)], True),
}


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("name", sorted(SIGNALLED_CALLS))
def test_every_raise_of_a_signal_handler_reaches_the_caller(db, name, monkeypatch):
    """A handler fires every 0.5 ms and raises once per call (it disarms itself first, so
    that it never raises inside the caller's except clause). A raise that our code swallowed
    would be counted by the handler and never by the caller. (The interpreter itself drops
    a raise that lands in a callback it runs, such as a weakref's, and reports it as
    unraisable.)"""
    call = SIGNALLED_CALLS[name]
    dropped = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: dropped.append(unraisable.exc_type))
    fill(db, 300)
    state = {"inside": False, "raised": 0}

    def handler(signum, frame):
        if state["inside"]:
            state["inside"] = False
            state["raised"] += 1
            raise Alarm()

    previous = signal.signal(signal.SIGALRM, handler)
    caught = 0
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        for i in range(scaled(20000)):
            try:
                state["inside"] = True
                call(db, i)
                state["inside"] = False
            except Alarm:
                caught += 1
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert state["raised"] > 0
    lost = state["raised"] - caught - dropped.count(Alarm)
    assert lost == 0, "%d of %d raises lost" % (lost, state["raised"])
    db.add(99999, V, "{}")  # still usable


FIRST_CALLS = r"""
import signal, sys, tovik
class Alarm(Exception):
    pass
state = {"inside": False, "raised": 0}
def handler(signum, frame):
    if state["inside"]:
        state["inside"] = False
        state["raised"] += 1
        raise Alarm()
signal.signal(signal.SIGALRM, handler)
elsewhere = []  # raised inside a callback the interpreter runs (a weakref's), which drops it
sys.unraisablehook = lambda unraisable: elsewhere.append(unraisable.exc_type)
db = tovik.TovikDB(sys.argv[1])
call = {"add": lambda i: db.add(i, [1.0, 2.0], "{}"), "search": lambda i: db.search([1.0, 2.0], 3),
        "build_results": lambda i: db.build_results([(0, 0.5)] * 40, True)}[sys.argv[2]]
caught = 0
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
i = 0
while state["raised"] < 5 and i < 10**6:
    i += 1
    try:
        state["inside"] = True
        call(i)
        state["inside"] = False
    except Alarm:
        caught += 1
signal.setitimer(signal.ITIMER_REAL, 0)
print(state["raised"], caught, elsewhere.count(Alarm))
"""


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("name", sorted(SIGNALLED_CALLS))
def test_signals_during_a_processs_first_calls_reach_the_caller(tmp_path, name):
    """The first calls of a process set up what later calls use; a handler firing every
    0.1 ms meets that setup too."""
    out = subprocess.run(python_command() + ["-c", FIRST_CALLS, str(tmp_path / "db"), name],
                         check=True, stdout=subprocess.PIPE, universal_newlines=True, timeout=300).stdout
    raised, caught, dropped = map(int, out.split())
    assert raised > 0 and caught + dropped == raised
