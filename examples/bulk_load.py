"""Bulk load: a numpy matrix of embeddings into tovik, then nearest-neighbour queries.

Rows of a float32 matrix go in as they are (any sequence of numbers is a vector); the
metadata carries the row's batch and label so that a search can be narrowed to a batch.
The embeddings here are random unit vectors drawn from a fixed seed; in an application
they come from a model.

Run: PYTHONPATH=build/host python3 examples/bulk_load.py [rows] [directory]
"""
from __future__ import annotations

import json
import shutil
import sys
import time

import numpy as np
import numpy.typing as npt

import tovik

DIM = 64
BATCH = 500


def random_unit_rows(rows: int, dim: int, seed: int = 7) -> npt.NDArray[np.float32]:
    rng = np.random.default_rng(seed)
    matrix = rng.standard_normal((rows, dim)).astype(np.float32)
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    return matrix


def load(db: tovik.TovikDB, matrix: npt.NDArray[np.float32]) -> None:
    """Row i becomes document i; ids are dense from 0, as the per-id tables prefer."""
    for i, row in enumerate(matrix):
        db.add(i, row, json.dumps({"batch": i // BATCH, "label": "row-%d" % i}))


def nearest(db: tovik.TovikDB, query: npt.NDArray[np.float32], k: int,
            batch: int | None = None) -> list[tuple[int, float]]:
    flt = None if batch is None else json.dumps({"batch": {"$eq": batch}})
    return [(doc_id, score) for doc_id, score, _ in db.search(query, k, flt, False)]


def main(argv: list[str]) -> tuple[list[tuple[int, float]], list[tuple[int, float]]]:
    rows = int(argv[0]) if argv else 2000
    path = argv[1] if len(argv) > 1 else "bulk-db"
    shutil.rmtree(path, ignore_errors=True)
    matrix = random_unit_rows(rows, DIM)
    db = tovik.TovikDB(path)

    start = time.perf_counter()
    load(db, matrix)
    print(f"loaded {db.count()} rows of {DIM} floats in {time.perf_counter() - start:.2f}s")

    # Row 42 itself: its own bucket holds it, so it comes first, scoring (almost) 1.0.
    hits = nearest(db, matrix[42], 5)
    print("nearest to row 42:", [(i, round(s, 4)) for i, s in hits])
    # A noisy copy: the hashing proposes candidates from nearby buckets only, so a
    # search is approximate and may miss the row once the noise moves the query far.
    noise = np.random.default_rng(1).standard_normal(DIM).astype(np.float32)
    noisy = nearest(db, matrix[42] + np.float32(0.01) * noise, 3)
    print("nearest to a noisy copy of row 42:", [(i, round(s, 4)) for i, s in noisy])
    last_batch = (rows - 1) // BATCH
    in_batch = nearest(db, matrix[42], 3, batch=last_batch)
    print(f"row 42's neighbours within batch {last_batch}:",
          [(i, round(s, 4)) for i, s in in_batch])
    return hits, in_batch


if __name__ == "__main__":
    main(sys.argv[1:])
