"""One add of a document with 500,000 fields under an address-space limit, in a child
process per limit: the add succeeds or raises MemoryError, nothing kills the process,
and once the limit is lifted the database answers as if the add had been made once
(repeated after a MemoryError). Then a mixed workload the same way (see MIXED).

    PYTHONPATH=build/host python3 tests/faults/address_limit.py [FIELDS [LIMITS]]

prints the growth of the address space a fault-free run takes, then each limit (the
address space allowed beyond the process's before the run) with its outcome.
"""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent("""
    import json, resource, sys, tovik
    fields, extra, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]

    def vm(key):
        with open("/proc/self/status") as f:
            return [int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":")][0]

    def value(i):
        return i if i % 3 == 0 else ("s%d" % (i % 7) if i % 3 == 1 else i % 2 == 0)

    db = tovik.TovikDB(path)
    db.add(0, [1.0, 2.0], '{"f000003": 3}')
    text = json.dumps({"f%06d" % i: value(i) for i in range(fields)}, sort_keys=True)
    probes = ['{"f000003": {"$eq": 3}}', '{"f000004": {"$eq": "s4"}}', '{"f000005": {"$eq": false}}',
              '{"f%06d": {"$gte": 0}}' % (fields - fields % 3 - 3)]
    before = vm("VmSize")
    if extra >= 0:
        resource.setrlimit(resource.RLIMIT_AS, (before + extra, resource.RLIM_INFINITY))
    try:
        db.add(1, [2.0, 1.0], text)
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    if extra < 0:
        print(vm("VmPeak") - before)
        sys.exit(0)
    if outcome == "MemoryError":
        db.add(1, [2.0, 1.0], text)
    got = [db.count()] + [sorted(r[0] for r in db.search([2.0, 1.0], 5, p, False)) for p in probes]
    want = [2, [0, 1], [1], [1], [1]]
    print(outcome if got == want else "inconsistent after %s: %r" % (outcome, got))
""")

# A mixed workload (adds with and without ttl, filtered searches, deletes by id, counts)
# under the limit until it has raised MemoryError many times; then, with the limit
# lifted, every acknowledged add is found and every acknowledged delete stays deleted.
MIXED = textwrap.dedent("""
    import resource, sys, tovik
    ops, extra, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]

    def vm(key):
        with open("/proc/self/status") as f:
            return [int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":")][0]

    def meta(i):
        return '{"id": %d, "s": "v%d", "b": %s, "pad": "%s"}' % (i, i % 5, "true" if i % 2 else "false", "x" * (i % 300))

    def vec(i):
        return [float((i * (j + 3)) % 17) - 8.0 for j in range(16)]

    def by_id(i):
        return '{"id": {"$eq": %d}}' % i

    db = tovik.TovikDB(path)
    for i in range(2000):
        db.add(i, vec(i), meta(i))
    added, deleted, expired, failures = set(range(2000)), set(), set(), 0
    before = vm("VmSize")
    if extra >= 0:
        resource.setrlimit(resource.RLIMIT_AS, (before + extra, resource.RLIM_INFINITY))
    i = 2000
    for step in range(ops):
        try:
            kind = step % 5
            if kind == 0:
                i += 1
                db.add(i - 1, vec(i - 1), meta(i - 1))
                added.add(i - 1)
            elif kind == 1:
                i += 1
                db.add(i - 1, vec(i - 1), meta(i - 1), -5)  # expires at once
                expired.add(i - 1)
            elif kind == 2:
                db.search(vec(step), 50, '{"$or": [{"s": {"$in": ["v1", "v3"]}}, {"id": {"$lt": %d}}]}' % step)
            elif kind == 3:
                victim = (step * 7919) % i
                db.delete(by_id(victim))
                deleted.add(victim)
            else:
                db.count()
        except MemoryError:
            failures += 1
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    if extra < 0:
        print(vm("VmPeak") - before)
        sys.exit(0)
    db.count()

    def found(j):
        return bool(db.search(vec(j), 100000, by_id(j), False))

    # An add that raised may have stored its document, fields and all: not checked.
    wrong = [j for j in sorted(added - deleted) if not found(j)] + [j for j in sorted(deleted | expired) if found(j)]
    print(("MemoryError x%d" % failures if failures else "ok") if not wrong else "inconsistent: %r" % wrong[:10])
""")


def run(fields, extra, python=(sys.executable,), child=CHILD):
    with tempfile.TemporaryDirectory() as root:
        proc = subprocess.run(list(python) + ["-c", child, str(fields), str(extra), os.path.join(root, "db")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    if proc.returncode < 0:
        return "killed by " + signal.Signals(-proc.returncode).name
    if proc.returncode != 0:
        return "exit %d: %s" % (proc.returncode, (proc.stderr.strip().splitlines() or [""])[-1])
    return proc.stdout.strip()


def limits(peak, count):
    """`count` limits spread evenly below the growth a fault-free add takes."""
    return [peak * (i + 1) // (count + 1) for i in range(count)]


def main():
    fields = int(sys.argv[1]) if len(sys.argv) > 1 else 500000
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    peak = int(run(fields, -1))
    print("fault-free add: +%d MiB of address space" % (peak >> 20), flush=True)
    for extra in limits(peak, count):
        print("limit +%4d MiB: %s" % (extra >> 20, run(fields, extra)), flush=True)
    ops = 6000
    peak = int(run(ops, -1, child=MIXED))
    print("mixed workload of %d calls: +%d KiB of address space" % (ops, peak >> 10), flush=True)
    for extra in limits(peak, count):
        print("limit +%6d KiB: %s" % (extra >> 10, run(ops, extra, child=MIXED)), flush=True)


if __name__ == "__main__":
    main()
