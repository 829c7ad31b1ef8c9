"""Running out of memory in every public operation: each allocation of a call made to
fail in turn (alone, or with every later one), in child processes under the preloaded
shim, and one huge add under address-space limits. No process dies; each call succeeds
or raises MemoryError, and then (after repeating a failed call) the database answers as
one that never saw a fault. The workloads and the checks are in tests/faults."""
import os
import platform
import sys

import pytest

import tovik
from conftest import python_command

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "faults"))
import address_limit  # noqa: E402
import fault_child  # noqa: E402
import run_faults  # noqa: E402

MODULE_DIR = os.path.dirname(os.path.abspath(tovik.__file__))
# Under qemu (armhf or arm64): no address-space limits, a threaded fork that is the
# emulator's, and far slower floating point.
EMULATED = os.environ.get("TOVIK_TARGET") in ("armhf", "arm64")


@pytest.mark.skipif(not os.path.exists(run_faults.shim_path(MODULE_DIR)),
                    reason="no allocation shim beside the module (built with the C++ tests, without sanitizers)")
@pytest.mark.parametrize("sticky", [False, True], ids=["one-fails", "all-fail-from-then-on"])
@pytest.mark.parametrize("workload", sorted(fault_child.WORKLOADS))
def test_each_failing_allocation_gives_memory_error_or_success_and_a_consistent_state(workload, sticky):
    results = run_faults.run(workload, sticky, MODULE_DIR, python_command())
    outcomes = run_faults.tally(results)
    assert [r for r in results if r[1] not in ("ok", "MemoryError")] == []
    assert outcomes["MemoryError"] > 0  # the sweep did reach the call's allocations


@pytest.mark.skipif(EMULATED, reason="the emulator ignores address-space limits")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("child, size", [
    (address_limit.CHILD, 100000),
    pytest.param(address_limit.MIXED, 6000, marks=pytest.mark.skipif(
        platform.python_implementation() == "PyPy",
        reason="PyPy's own collector ends the process when its next arena cannot be had")),
], ids=["huge-add", "mixed-workload"])
def test_under_address_space_limits_each_call_fails_cleanly_or_succeeds(child, size):
    peak = int(address_limit.run(size, -1, python_command(), child))
    outcomes = [address_limit.run(size, extra, python_command(), child) for extra in address_limit.limits(peak, 3)]
    assert all(o == "ok" or o.startswith("MemoryError") for o in outcomes), outcomes
    assert any(o.startswith("MemoryError") for o in outcomes), outcomes
