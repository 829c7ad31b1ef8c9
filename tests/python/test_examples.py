"""The examples run on small data and do what they say."""

import os
import re
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


@pytest.fixture(scope="module", autouse=True)
def examples_on_path():
    sys.path.insert(0, EXAMPLES)
    yield
    sys.path.remove(EXAMPLES)


def test_cache_hits_same_question_in_topic_and_misses_stale_or_other_topic(tmp_path):
    import cache

    found = cache.main([str(tmp_path / "cache")])
    assert found == {
        "boiling point of water at sea level": "100 degrees Celsius",
        "how many days in a leap year": "366",
        "what is the euro exchange rate today": None,
        "who maintains the water supply of the city": None,
    }


@pytest.mark.parametrize("ttl, live", [(3600, True), (1, True), (-1, False)])
def test_cache_entry_lives_for_its_ttl(tmp_path, ttl, live):
    import cache

    store = cache.AnswerCache(str(tmp_path / "ttl"))
    store.put("what is the euro exchange rate today", "1.08 dollars", "finance", ttl)
    # The stale entry's question matches well: only the expiry makes it a miss.
    expected = "1.08 dollars" if live else None
    assert store.get("what is the euro exchange rate today", "finance") == expected
    assert store.db.count() == (1 if live else 0)


def test_bulk_load_finds_each_row_first_and_filters_by_batch(tmp_path, capsys):
    pytest.importorskip("numpy")
    import bulk_load

    hits, in_batch = bulk_load.main(["700", str(tmp_path / "bulk")])
    assert "loaded 700 rows" in capsys.readouterr().out
    assert hits[0][0] == 42 and hits[0][1] == pytest.approx(1.0, abs=1e-6)
    scores = [score for _, score in hits]
    assert scores == sorted(scores, reverse=True) and len(hits) == 5
    assert len(in_batch) == 3 and all(500 <= doc_id < 700 for doc_id, _ in in_batch)


def test_demo_on_two_modules(tmp_path, monkeypatch, capsys):
    import demo

    monkeypatch.setattr(demo, "MODULES", ["json", "textwrap"])
    monkeypatch.setattr(sys, "argv", ["demo.py", str(tmp_path / "demo")])
    demo.main()
    out = capsys.readouterr().out
    indexed = int(re.search(r"indexed (\d+) docstrings", out).group(1))
    assert indexed > 5
    # The last document goes in with an expired ttl: purged at once, not counted.
    assert "with an expired time-to-live: count %d " % indexed in out
    assert out.count("query: ") == 8
