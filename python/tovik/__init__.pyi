"""Typing for the tovik extension module: an in-memory vector index whose metadata
texts are appended to `<path>/metadata.bin`."""

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex

from typing_extensions import disjoint_base

__all__ = ["TovikDB"]

# A number as the module reads it: anything with a float conversion (float, int,
# numpy scalars) or an integer index.
_Number = SupportsFloat | SupportsIndex

# A vector or query: any sequence of numbers except `str` (a list, a tuple, an
# array.array, a numpy array). Each item is rounded to a 32-bit float.
class _Vector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

# (id, score, metadata text or "" when not requested); ids are 0 to 4294967295.
_Result = tuple[int, float, str]

@disjoint_base
class TovikDB:
    """One database: vectors and indexes in memory, metadata texts in
    `<path>/metadata.bin`. A new object on an existing directory starts empty."""

    def __new__(cls, path: str) -> TovikDB:
        """Creates the directory (and its parents) if missing; ValueError if it cannot."""

    def add(
        self,
        internal_id: SupportsIndex,
        vector: _Vector,
        metadata_json: str,
        ttl: SupportsIndex | None = None,
    ) -> None:
        """Stores a document under `internal_id` (0 to 4294967295). The first non-empty
        vector fixes the dimension. `ttl` is in whole seconds from now. Raises
        ValueError on a dimension mismatch or metadata that is not JSON (the document
        is stored all the same), OverflowError for ids or ttls out of range."""

    def search(
        self,
        query: _Vector,
        k: SupportsIndex,
        filter_json: str | None = None,
        include_metadata: bool = True,
    ) -> list[_Result]:
        """Up to `k` (id, score, metadata) tuples, best first. A filter that is not
        valid JSON raises ValueError; one that decides nothing matches nothing."""

    def build_results(
        self,
        scored: Sequence[tuple[SupportsIndex, _Number]],
        include_metadata: bool,
    ) -> list[_Result]:
        """(id, score) pairs as result tuples, in the order given; with metadata, ids
        whose metadata cannot be read are left out."""

    def delete(self, filter_json: str) -> int:
        """Removes every document the filter matches; returns how many it matched."""

    def count(self) -> int:
        """Ids below the highest id added, minus deleted and expired ones."""

    def clean_expired(self) -> None:
        """Removes the documents whose time-to-live has run out."""
