"""The armhf instruction table: executed guest instructions per call under armhf
CPython and PyPy (the armcount probe's --json output), beside the figures of an earlier
build (a markdown file holding the probe's own tables), with the issue's goals checked.

    python3 bench/armhf_table.py --before bench/results/armhf_instructions_before.md \\
        --after build/armhf_instructions.json [--after more.json] [--raw build/armhf_instructions.txt] \\
        [--commit abc1234] > bench/results/armhf_instructions.md

Several --after files are merged (one probe run per interpreter, run side by side).
"""
import argparse
import json
import re
import sys

LABELS = {"cpython": "CPython", "pypy": "PyPy"}
# The probe's section headings, per interpreter, in its tables ("## armhf python3.11 ...").
HEADINGS = {"cpython": "python3.11", "pypy": "pypy3"}
# Goals, instructions per call (every interpreter): section name -> bound.
GOALS = [
    ("add quantized warm @10000", 500_000),
    ("add quantized warm @40000", 500_000),
    ("search k=10 @40000", 800_000),
    ("search k=10 filtered @40000", 500_000),
    ("add raw warm", 90_000),
]
SWITCH = "add: quantization switch (one add)"


def read_before(path):
    """{interpreter: {section: instructions per call}} from the probe tables in a file."""
    figures, current = {}, None
    for line in open(path):
        head = re.match(r"^## armhf (\S+)", line)
        if head:
            current = next((k for k, v in HEADINGS.items() if v == head.group(1)), None)
            if current:
                figures[current] = {}
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if current and len(cells) >= 3 and re.fullmatch(r"\d+", cells[2]):
            figures[current][cells[0]] = int(cells[2])
    return figures


def read_after(paths):
    """{interpreter: run} from probe JSON files (the first run of each interpreter)."""
    runs = {}
    for path in paths:
        for entry in json.load(open(path)):
            if entry["what"] in LABELS:
                runs.setdefault(entry["what"], entry["runs"][0])
    return runs


def fmt(x):
    return "" if x is None else "{:,}".format(int(round(x)))


def table(before, runs):
    interps = [w for w in LABELS if w in runs]
    names = []
    for w in interps:
        names += [r["name"] for r in runs[w]["rows"] if r["name"] not in names]
    after = {w: {r["name"]: r for r in runs[w]["rows"]} for w in interps}
    head = "| call |" + "".join(" %s before | %s after |" % (LABELS[w], LABELS[w]) for w in interps)
    lines = [head, "|---|" + "---|---|" * len(interps)]
    for name in names:
        cells = []
        for w in interps:
            row = after[w].get(name)
            cells += [fmt(before.get(w, {}).get(name)), fmt(row["per_op"] if row else None)]
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    return lines, after


def goal_lines(after):
    lines = []
    for name, bound in GOALS:
        got = {w: after[w][name]["per_op"] for w in after if name in after[w]}
        if got:
            verdict = "met" if all(v <= bound for v in got.values()) else "NOT met"
            lines.append("- %s <= %s: %s (%s)" % (name, fmt(bound), verdict, ", ".join(
                "%s %s" % (LABELS[w], fmt(v)) for w, v in got.items())))
    raw = {w: after[w]["add raw warm"].get("sys_per_op") for w in after if "add raw warm" in after[w]}
    if raw and all(v is not None for v in raw.values()):
        # to one decimal: PyPy's collector adds a call now and then
        lines.append("- add raw warm, system calls <= 2 (to one decimal): %s (%s)" % (
            "met" if all(round(v, 1) <= 2 for v in raw.values()) else "NOT met",
            ", ".join("%s %.2f" % (LABELS[w], v) for w, v in raw.items())))
    both = [n for n in after.get("cpython", {}) if n in after.get("pypy", {})]
    slower = [n for n in both if after["pypy"][n]["per_op"] > after["cpython"][n]["per_op"]]
    lines.append("- PyPy <= CPython per call: %s" % ("met" if not slower else "NOT met for " + "; ".join(slower)))
    for w in after:
        row = after[w].get(SWITCH)
        if row:
            lines.append("- the switch-on add, %s: %s instructions in all, %s on the calling thread" % (
                LABELS[w], fmt(row["total"]), fmt(row["self"])))
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--before", required=True)
    ap.add_argument("--after", action="append", required=True)
    ap.add_argument("--raw", help="the probe's own text output, appended")
    ap.add_argument("--commit", default="")
    a = ap.parse_args()
    runs = read_after(a.after)
    rows, after = table(read_before(a.before), runs)
    out = ["# armhf instructions per call", "",
           "Executed guest instructions per call (all threads), counted by the armcount plugin under",
           "qemu-arm: armhf CPython 3.11 and PyPy, 384 floats, metadata {cat, n, tags}, k = 10 with",
           "metadata, 2,000 warm-up calls per figure; the filter admits one document in ten.",
           "\"Before\" is `%s`; \"after\" is %s." % (
               a.before.split("/")[-1], "commit " + a.commit if a.commit else "this build"),
           "The counts repeat to the instruction from run to run.",
           "", "```sh", "make bench-armhf-instructions", "```", ""]
    out += rows + ["", "Goals (instructions per call on armhf, every interpreter):", ""] + goal_lines(after)
    if a.raw:
        out += ["", "## The probe's output (after)", "", open(a.raw).read().rstrip()]
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
