"""A semantic answer cache: answers are stored under the embedding of their question and
found again for questions that mean nearly the same, within the same topic, for as long
as their time-to-live runs.

Each entry's metadata holds the question, the answer and a topic; the filter keeps a
lookup to the topic asked about, and a similarity threshold decides what counts as the
same question. Entries carry a ttl: an entry whose source data is already out of date is
added with a negative ttl and is purged by the next lookup, count or clean_expired().
Embeddings come from a small word-hashing embedder, enough for a self-contained example.

Run: PYTHONPATH=build/host python3 examples/cache.py [directory]
"""
from __future__ import annotations

import hashlib
import json
import math
import re
import shutil
import sys
import time

import tovik

DIM = 128
SAME_QUESTION = 0.8  # the lowest score that still counts as the same question
WORD = re.compile(r"[a-z0-9]+")


def embed(text: str) -> list[float]:
    """Signed feature hashing of the words, L2-normalised; deterministic everywhere."""
    vec = [0.0] * DIM
    for word in WORD.findall(text.lower()):
        h = int.from_bytes(hashlib.blake2b(word.encode(), digest_size=8).digest(), "little")
        vec[h % DIM] += 1.0 if (h >> 32) & 1 else -1.0
    norm = math.sqrt(sum(x * x for x in vec)) or 1.0
    return [x / norm for x in vec]


class AnswerCache:
    def __init__(self, path: str) -> None:
        self.db = tovik.TovikDB(path)
        self.next_id = 0

    def put(self, question: str, answer: str, topic: str, ttl: int) -> int:
        doc_id = self.next_id
        self.next_id += 1
        meta = {"question": question, "answer": answer, "topic": topic}
        self.db.add(doc_id, embed(question), json.dumps(meta), ttl)
        return doc_id

    def get(self, question: str, topic: str) -> str | None:
        """The cached answer of the closest live question of this topic, if close enough."""
        flt = json.dumps({"topic": {"$eq": topic}})
        for _, score, meta in self.db.search(embed(question), 1, flt):
            if score >= SAME_QUESTION:
                answer: str = json.loads(meta)["answer"]
                return answer
        return None


def main(argv: list[str]) -> dict[str, str | None]:
    path = argv[0] if argv else "cache-db"
    shutil.rmtree(path, ignore_errors=True)
    cache = AnswerCache(path)
    now = int(time.time())
    # (question, answer, topic, the time until which the answer holds)
    entries = [
        ("What is the boiling point of water at sea level?", "100 degrees Celsius", "physics", now + 86400),
        ("How many days are there in a leap year?", "366", "calendar", now + 86400),
        ("What is the exchange rate of the euro today?", "1.08 dollars", "finance", now - 3600),
        ("Who maintains the city water supply?", "the municipal utility", "civics", now + 600),
    ]
    for question, answer, topic, valid_until in entries:
        cache.put(question, answer, topic, ttl=valid_until - now)

    lookups = {
        "boiling point of water at sea level": "physics",
        "how many days in a leap year": "calendar",
        "what is the euro exchange rate today": "finance",  # stale: purged on lookup
        "who maintains the water supply of the city": "physics",  # wrong topic
    }
    found = {q: cache.get(q, topic) for q, topic in lookups.items()}
    for question, hit in found.items():
        print(f"{question!r:48} -> {hit if hit is not None else '(miss)'}")
    print(f"{cache.db.count()} live entries of {len(entries)} cached")
    return found


if __name__ == "__main__":
    main(sys.argv[1:])
