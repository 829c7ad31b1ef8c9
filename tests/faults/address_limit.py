"""One add of a document with 500,000 fields under an address-space limit, in a child
process per limit: the add succeeds or raises MemoryError, nothing kills the process,
and once the limit is lifted the database answers as if the add had been made once
(repeated after a MemoryError).

    PYTHONPATH=build/host python3 tests/faults/address_limit.py [FIELDS [LIMITS]]

prints the growth of the address space a fault-free add takes, then each limit (the
address space allowed beyond the process's before the add) with its outcome.
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


def run(fields, extra, python=(sys.executable,)):
    with tempfile.TemporaryDirectory() as root:
        proc = subprocess.run(list(python) + ["-c", CHILD, str(fields), str(extra), os.path.join(root, "db")],
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


if __name__ == "__main__":
    main()
