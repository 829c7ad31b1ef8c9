"""Runs fault_child.py for a workload until it has gone through every fault point,
starting a new child after one dies, and tallies the outcomes.

    PYTHONPATH=build/host python3 tests/faults/run_faults.py [WORKLOAD ...]

prints one line per workload and mode: fault points, outcomes and their counts (a
signal or an exit status when a child died at that point).
"""
import collections
import os
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def shim_path(module_dir):
    return os.path.join(os.path.abspath(module_dir), "libtovik_alloc_shim.so")


def death(returncode):
    if returncode < 0:
        return "killed by " + signal.Signals(-returncode).name
    return "exit %d" % returncode


def run(workload, sticky, module_dir, python=(sys.executable,), timeout=600):
    """[(n, outcome)] for every fault point of the workload's call."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = shim_path(module_dir)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.abspath(module_dir), env.get("PYTHONPATH")] if p)
    results, first = [], 0
    while True:
        with tempfile.TemporaryDirectory() as root:
            proc = subprocess.run(list(python) + [os.path.join(HERE, "fault_child.py"), workload, str(first),
                                                  str(int(sticky)), root],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=timeout)
        started = None
        for line in proc.stdout.splitlines():
            word, n, *rest = line.split(" ", 2)
            if word == "start":
                started = int(n)
            else:
                results.append((int(n), rest[0]))
                started = None
        if proc.returncode == 0 and started is None:
            return results
        if started is None:  # died before its first fault point
            raise RuntimeError("%s: %s\n%s" % (workload, death(proc.returncode), proc.stderr[-2000:]))
        results.append((started, death(proc.returncode)))
        first = started + 1


def tally(results):
    return collections.Counter(outcome for _, outcome in results)


def main():
    sys.path.insert(0, HERE)
    import fault_child

    import tovik

    module_dir = os.path.dirname(tovik.__file__)
    for workload in sys.argv[1:] or list(fault_child.WORKLOADS):
        for sticky in (False, True):
            results = run(workload, sticky, module_dir)
            counts = ", ".join("%s: %d" % kv for kv in sorted(tally(results).items()))
            print("%-14s %-8s %3d points  %s" % (workload, "sticky" if sticky else "one-shot", len(results), counts),
                  flush=True)


if __name__ == "__main__":
    main()
