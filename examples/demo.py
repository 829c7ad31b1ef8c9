"""tovik demo: a semantic index over the docstrings of the Python standard library.

Builds a database in ./demo-db from real text available on any machine with Python,
turning each docstring into a vector with a small deterministic hashing embedder, then
runs filtered searches, a delete by filter and a count, and prints what it finds.

Run: PYTHONPATH=build/host python3 examples/demo.py [directory]
"""
from __future__ import annotations

import hashlib
import importlib
import inspect
import json
import math
import platform
import re
import shutil
import sys
import time
import warnings
from collections.abc import Iterator
from typing import Any

import tovik

DIM = 384
MODULES = sorted("""
argparse ast base64 bisect calendar collections configparser contextlib copy csv datetime
decimal difflib email fractions functools glob gzip hashlib heapq html http.client inspect
io ipaddress itertools json logging math operator os pathlib pickle pprint queue random re
sched secrets shlex shutil socket statistics string struct subprocess tarfile tempfile
textwrap threading time timeit tokenize traceback typing unittest urllib.parse uuid
warnings weakref zipfile zlib
""".split())
WORD = re.compile(r"[a-z]{3,}")
STOPWORDS = set("""
the and for are but not you all any can had her was one our out has him his how its may new
now old see two who did get let put say she too use this that with from they will would there
their what when which while into than then them these those been have were each other more
some such only also very just over most must should could about after before where here why
does done same both used using given value values return returns object objects default none
true false function method class instance argument arguments optional
""".split())


def embed(text: str) -> list[float]:
    """Feature hashing of words and word pairs into DIM signed buckets, L2-normalised.
    Deterministic across runs, interpreters and machines (no salted hash())."""
    words = [w for w in WORD.findall(text.lower()) if w not in STOPWORDS]
    vec = [0.0] * DIM
    for feature in words + [a + "_" + b for a, b in zip(words, words[1:])]:
        h = int.from_bytes(hashlib.blake2b(feature.encode(), digest_size=8).digest(), "little")
        weight = 1.0 if "_" not in feature else 0.5
        vec[h % DIM] += weight if (h >> 32) & 1 else -weight
    norm = math.sqrt(sum(x * x for x in vec)) or 1.0
    return [x / norm for x in vec]


def public_members(owner: Any) -> Iterator[tuple[str, Any]]:
    for attr in sorted(vars(owner)):
        if not attr.startswith("_"):
            yield attr, getattr(owner, attr, None)


def docstrings() -> Iterator[tuple[str, str, str, str]]:
    warnings.simplefilter("ignore", DeprecationWarning)  # touching deprecated aliases warns
    yield from _docstrings()


def _docstrings() -> Iterator[tuple[str, str, str, str]]:
    """(qualified name, kind, module, docstring) for public functions, classes and the
    methods of those classes."""
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        for attr, obj in public_members(module):
            if getattr(obj, "__module__", None) != module.__name__:
                continue
            kind = "class" if inspect.isclass(obj) else "function" if callable(obj) else None
            doc = inspect.getdoc(obj) if kind else None
            if kind and doc and len(doc.split()) >= 5:
                yield name + "." + attr, kind, name, doc
            if kind == "class":
                for method_name, method in public_members(obj):
                    method_doc = inspect.getdoc(method) if callable(method) else None
                    if method_doc and method_doc != doc and len(method_doc.split()) >= 5:
                        yield name + "." + attr + "." + method_name, "method", name, method_doc


def show(title: str, results: list[tuple[int, float, str]]) -> None:
    print("\n" + title)
    for doc_id, score, meta in results:
        m = json.loads(meta)
        print(f"  {score:7.4f}  #{doc_id:<5} {m['name']:<46} {m['kind']:<8} {m['words']:>4} words")
    if not results:
        print("  (nothing)")


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "demo-db"
    shutil.rmtree(path, ignore_errors=True)
    print(f"tovik demo on {platform.python_implementation()} {platform.python_version()}, "
          f"module {tovik.__file__}")
    db = tovik.TovikDB(path)

    start = time.perf_counter()
    texts = {}
    for doc_id, (qualname, kind, module, doc) in enumerate(docstrings()):
        first_line = doc.splitlines()[0]
        meta = {"name": qualname, "kind": kind, "module": module,
                "package": module.split(".")[0], "words": len(doc.split()),
                "summary": first_line[:80]}
        # The name counts twice: it says what the thing is more densely than prose.
        words = qualname.replace(".", " ").replace("_", " ")
        db.add(doc_id, embed(words + " " + words + " " + doc), json.dumps(meta))
        texts[doc_id] = first_line
    elapsed = time.perf_counter() - start
    print(f"indexed {db.count()} docstrings from {len(MODULES)} modules in {elapsed:.2f}s "
          f"into {path}/metadata.bin")

    queries = [
        ("read the lines of a text file", None),
        ("random number from a distribution", None),
        ("parse a date and format it as a string", '{"kind": {"$eq": "function"}}'),
        ("compress data with gzip", '{"$and": [{"kind": {"$eq": "class"}}, {"words": {"$gte": 40}}]}'),
        ("split a string into tokens", '{"module": {"$in": ["shlex", "re", "string", "tokenize"]}}'),
        ("create a temporary directory", '{"$not": {"package": {"$eq": "os"}}}'),
        ("sort items with a key function", '{"kind": {"$in": ["function", "method"]}}'),
    ]
    for text, flt in queries:
        results = db.search(embed(text), 5, flt)
        show(f"query: {text!r}" + (f"  filter: {flt}" if flt else ""), results)

    before = db.count()
    removed = db.delete('{"package": {"$in": ["unittest", "logging"]}}')
    print(f"\ndelete unittest and logging docstrings: {removed} removed, count {before} -> {db.count()}")
    show("query: 'test case assertion' after the delete", db.search(embed("test case assertion"), 5))

    next_id = len(texts)
    db.add(next_id, embed("a cache entry that expires"), json.dumps(
        {"name": "demo.cache_entry", "kind": "note", "words": 4}), -1)
    print(f"\nadded document #{next_id} with an expired time-to-live: count {db.count()} "
          f"(it was purged at once, and ids never come back)")


if __name__ == "__main__":
    main()
