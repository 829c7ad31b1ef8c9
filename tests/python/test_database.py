"""Behaviour of the database through its Python surface: construction, add, search,
build_results, delete, expiry and count."""
import json
import os
import random
import subprocess
import sys
import textwrap

import pytest

import tovik
from conftest import cosine_score, f32, python_command

FILTER_ALL_RED = '{"color": {"$eq": "red"}}'


def unit(i, dim=8):
    v = [0.0] * dim
    v[i % dim] = 1.0
    return v


# --- construction -----------------------------------------------------------------


def test_new_database_creates_its_directory_but_no_file(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    db = tovik.TovikDB(str(path))
    assert path.is_dir()
    assert not (path / "metadata.bin").exists()
    assert db.count() == 0


def test_path_with_a_nul_byte_is_refused(tmp_path):
    with pytest.raises(ValueError, match="NUL"):
        tovik.TovikDB(str(tmp_path / "a\0b"))
    assert list(tmp_path.iterdir()) == []


def test_path_naming_a_file_is_refused(tmp_path):
    f = tmp_path / "plain"
    f.write_text("x")
    with pytest.raises(ValueError) as err:
        tovik.TovikDB(str(f))
    assert str(err.value) == "File exists (os error 17)"


def test_reopening_starts_empty_and_appends_after_old_bytes(tmp_path):
    path = str(tmp_path)
    first = tovik.TovikDB(path)
    first.add(1, [1.0, 0.0], '{"x": 1}')
    del first
    second = tovik.TovikDB(path)
    assert second.count() == 0
    assert second.search([1.0, 0.0], 5) == []
    second.add(2, [0.0, 1.0], "[3]")
    assert (tmp_path / "metadata.bin").read_bytes() == b'{"x": 1}[3]'
    assert second.build_results([(2, 1.0)], True) == [(2, 1.0, "[3]")]


@pytest.mark.parametrize("suffix", ["", "/"])
def test_metadata_file_sits_in_the_directory(tmp_path, suffix):
    db = tovik.TovikDB(str(tmp_path / "d") + suffix)
    db.add(0, [1.0], "{}")
    assert (tmp_path / "d" / "metadata.bin").read_bytes() == b"{}"


def test_empty_path_uses_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = tovik.TovikDB("")
    db.add(0, [1.0], "{}")
    assert (tmp_path / "metadata.bin").read_bytes() == b"{}"


# --- add ----------------------------------------------------------------------------


def test_dimension_is_fixed_by_the_first_vector(db):
    db.add(0, [0.5] * 384, "{}")
    with pytest.raises(ValueError) as err:
        db.add(1, [0.5] * 768, "{}")
    assert str(err.value) == "Dimension mismatch: expected 384, got 768"
    assert db.count() == 1


def test_empty_vector_leaves_the_dimension_open(db):
    db.add(0, [], "{}")
    db.add(1, [1.0, 2.0, 3.0], "{}")
    with pytest.raises(ValueError, match="expected 3, got 2"):
        db.add(2, [1.0, 2.0], "{}")


def test_metadata_file_holds_the_texts_byte_for_byte(db, db_path):
    texts = ['{"a": 1}', "", '{"ü": "日本"}', "[1, 2]", '"plain"']
    for i, text in enumerate(texts):
        if text:
            db.add(i, unit(i), text)
        else:  # not JSON: refused, yet stored like any other text
            with pytest.raises(ValueError, match="EOF while parsing a value"):
                db.add(i, unit(i), text)
    db.add(1, unit(1), '{"again": true}')
    data = open(os.path.join(db_path, "metadata.bin"), "rb").read()
    assert data == "".join(texts).encode() + b'{"again": true}'
    got = db.build_results([(i, 0.5) for i in range(len(texts))], True)
    assert [t for _, _, t in got] == [texts[0], '{"again": true}'] + texts[2:]


def test_non_object_metadata_is_kept_but_matches_no_field_filter(db):
    db.add(0, unit(0), "[1, 2]")
    db.add(1, unit(1), '{"color": "red"}')
    assert db.search(unit(0), 1) == [(0, 1.0, "[1, 2]")]
    assert db.delete('{"color": {"$eq": "blue"}}') == 0
    # Negations subtract from every stored id, the non-object one included.
    assert db.delete('{"$not": ' + FILTER_ALL_RED + "}") == 1
    assert db.count() == 1


def test_invalid_metadata_raises_but_keeps_the_document(db, db_path):
    with pytest.raises(ValueError) as err:
        db.add(0, unit(0), '{"a": ')
    assert str(err.value).startswith("EOF while parsing a value at line 1 column ")
    assert db.count() == 1
    assert db.search(unit(0), 1) == [(0, 1.0, '{"a": ')]
    assert open(os.path.join(db_path, "metadata.bin"), "rb").read() == b'{"a": '


def test_readding_an_id_returns_the_new_text_and_keeps_old_index_entries(db):
    db.add(0, unit(0), '{"color": "red"}')
    db.add(0, unit(0), '{"color": "blue"}')
    assert db.search(unit(0), 1, FILTER_ALL_RED) == [(0, 1.0, '{"color": "blue"}')]


@pytest.mark.parametrize("ttl, alive", [(None, True), (3600, True), (-1, False),
                                        (-(2 ** 63), False), (2 ** 63 - 1, True)])
def test_ttl_decides_whether_the_next_purge_removes_the_document(db, ttl, alive):
    db.add(0, unit(0), "{}", ttl)
    assert db.count() == (1 if alive else 0)
    assert (db.search(unit(0), 1, include_metadata=False) != []) == alive


def test_ttl_none_keeps_an_earlier_expiry(db):
    db.add(0, unit(0), "{}", -10)
    db.add(0, unit(0), "{}")
    assert db.count() == 0


def test_quantization_switch_prints_one_line_on_fd1():
    script = textwrap.dedent("""
        import sys, tovik, tempfile
        db = tovik.TovikDB(tempfile.mkdtemp())
        v = [((i * 7) % 13) / 13.0 for i in range(768)]
        for i in range(5000):
            db.add(i, v, "{}")
        sys.stdout.write("before\\n"); sys.stdout.flush()
        db.add(5000, v, "{}")
        sys.stdout.write("after\\n"); sys.stdout.flush()
        db.add(5001, v, "{}")
        r = db.search(v, 3, include_metadata=False)
        assert len(r) == 3 and all(0.0 <= s <= 1.0 for _, s, _ in r), r
    """)
    out = subprocess.run(python_command() + ["-c", script], capture_output=True, check=True,
                         timeout=900)
    assert out.stdout == b"before\nActivating quantization at 5000 vectors...\nafter\n"


def test_a_single_high_id_switches_quantization_at_the_next_add():
    script = textwrap.dedent("""
        import tovik, tempfile
        db = tovik.TovikDB(tempfile.mkdtemp())
        db.add(4999, [1.0] * 768, "{}")
        db.add(0, [0.5] * 768, "{}")
    """)
    out = subprocess.run(python_command() + ["-c", script], capture_output=True, check=True,
                         timeout=300)
    assert out.stdout == b"Activating quantization at 5000 vectors...\n"


# --- search -------------------------------------------------------------------------


def test_empty_database_and_k_zero_return_nothing(db):
    assert db.search([1.0, 0.0], 10) == []
    db.add(0, [1.0, 0.0], "{}")
    assert db.search([1.0, 0.0], 0) == []


def test_scores_are_exact_float32_cosines_in_descending_order(db):
    rng = random.Random(5)
    vectors = [[rng.uniform(-1, 1) for _ in range(24)] for _ in range(40)]
    for i, v in enumerate(vectors):
        db.add(i, v, json.dumps({"i": i}))
    q = [rng.uniform(-1, 1) for _ in range(24)]
    # k = 40 asks for more than the LSH can propose (2k = 80), so every document is scored.
    got = db.search(q, 40, include_metadata=False)
    expected = sorted(((i, cosine_score(q, v)) for i, v in enumerate(vectors)),
                      key=lambda p: -p[1])
    assert [(i, s) for i, s, _ in got] == expected
    assert all(meta == "" for _, _, meta in got)
    top = db.search(q, 7, include_metadata=False)
    assert len(top) == 7 and all(cosine_score(q, vectors[i]) == s for i, s, _ in top)
    assert [s for _, s, _ in top] == sorted((s for _, s, _ in top), reverse=True)


def test_five_documents_with_k_ten_all_come_back(db):
    for i in range(5):
        db.add(i, [1.0, float(i)], "{}")
    got = db.search([1.0, 0.0], 10)
    assert sorted(i for i, _, _ in got) == [0, 1, 2, 3, 4]
    assert [i for i, _, _ in got] == [0, 1, 2, 3, 4]  # scores fall as the angle grows


def test_deleted_and_expired_documents_are_never_returned(db):
    for i in range(20):
        db.add(i, [1.0, i / 20.0], json.dumps({"i": i, "color": "red" if i % 2 else "blue"}),
               -5 if i == 4 else None)
    assert db.delete('{"i": {"$lt": 3}}') == 3
    got = {i for i, _, _ in db.search([1.0, 0.0], 20)}
    assert got == set(range(20)) - {0, 1, 2, 4}
    red = {i for i, _, _ in db.search([1.0, 0.0], 20, FILTER_ALL_RED)}
    assert red == {i for i in range(5, 20, 2)} | {3}


@pytest.mark.parametrize("flt", ["{}", '{"color": "red"}', '{"color": {"$eq": "green"}}', "5", "[]"])
def test_filters_without_a_result_match_nothing(db, flt):
    db.add(0, [1.0], '{"color": "red"}')
    assert db.search([1.0], 5, flt) == []
    assert db.delete(flt) == 0


# The parser's message reaches the caller unchanged from every entry point that parses
# JSON; columns count UTF-8 bytes, not characters.
PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('"\u00e9" x', "trailing characters at line 1 column 6"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    ('"ab\n', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ("[1.5e999]", "number out of range at line 1 column 8"),
]


@pytest.mark.parametrize("entry", ["add", "search", "delete"])
@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_errors_reach_the_caller_verbatim(db, entry, text, message):
    db.add(0, [1.0], "{}")
    calls = {
        "add": lambda: db.add(1, [1.0], text),
        "search": lambda: db.search([1.0], 1, text),
        "delete": lambda: db.delete(text),
    }
    with pytest.raises(ValueError) as err:
        calls[entry]()
    assert str(err.value) == message


def test_invalid_filter_raises_after_the_purge(db):
    db.add(0, [1.0], '{"tag": "a"}', -10)
    db.add(1, [1.0], '{"tag": "b"}')
    with pytest.raises(ValueError) as err:
        db.search([1.0], 5, "x")
    assert str(err.value) == "expected value at line 1 column 1"
    # delete does not purge; id 0 left the universe already, through the failed search.
    assert db.delete('{"$not": {"tag": {"$eq": "b"}}}') == 0


def test_missing_metadata_file_drops_results_only_when_metadata_is_asked(db, db_path):
    db.add(0, [1.0, 0.0], '{"a": 1}')
    db.add(1, [0.0, 1.0], '{"a": 2}')
    os.remove(os.path.join(db_path, "metadata.bin"))
    assert db.search([1.0, 0.0], 2) == []
    assert sorted(i for i, _, m in db.search([1.0, 0.0], 2, include_metadata=False)) == [0, 1]
    db.add(2, [1.0, 1.0], "[7]")
    assert os.path.getsize(os.path.join(db_path, "metadata.bin")) == 3
    assert db.build_results([(2, 0.5)], True) == [(2, 0.5, "[7]")]


def test_parallel_search_equals_the_single_threaded_one(tmp_path):
    script = textwrap.dedent("""
        import json, random, sys, tovik
        rng = random.Random(11)
        db = tovik.TovikDB(sys.argv[2])
        for i in range(3000):
            db.add(i, [rng.gauss(0, 1) for _ in range(16)], json.dumps({"i": i}))
        q = [rng.gauss(0, 1) for _ in range(16)]
        print(json.dumps([[i, s] for i, s, _ in db.search(q, 2500, include_metadata=False)]))
    """)
    runs = []
    for mode in ("one", "all"):
        cpu = min(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 0
        pin = ["taskset", "-c", str(cpu)] if mode == "one" else []
        out = subprocess.run(pin + python_command() + ["-c", script, mode, str(tmp_path / mode)],
                             capture_output=True, check=True, timeout=600)
        runs.append(json.loads(out.stdout))
    assert len(runs[0]) == 2500
    assert runs[0] == runs[1]


# --- build_results, delete, count ---------------------------------------------------


def test_build_results_keeps_order_duplicates_and_drops_unknown_ids(db):
    db.add(3, [1.0], '"three"')
    with pytest.raises(ValueError):
        db.add(5, [1.0], "")  # recorded with length 0 all the same
    assert db.build_results([], True) == []
    assert db.build_results([(7, 0.5)], False) == [(7, 0.5, "")]
    got = db.build_results([(5, 0.1), (9, 0.9), (3, 0.2), (3, 0.2)], True)
    assert got == [(5, f32(0.1), ""), (3, f32(0.2), '"three"'), (3, f32(0.2), '"three"')]
    assert got[0][1] == 0.10000000149011612


def test_deleted_documents_keep_their_metadata_for_build_results(db):
    db.add(1, [1.0], '{"k": "v"}')
    assert db.delete('{"k": {"$eq": "v"}}') == 1
    assert db.build_results([(1, 1.0)], True) == [(1, 1.0, '{"k": "v"}')]


def test_count_and_delete_examples(db):
    assert db.count() == 0
    for i in range(3):
        db.add(i, [1.0, float(i)], json.dumps({"n": i, "s": "x" if i == 1 else "y"}))
    assert db.count() == 3
    assert db.delete('{"s": {"$eq": "x"}}') == 1
    assert db.delete('{"s": {"$eq": "x"}}') == 0
    assert db.count() == 2
    db.add(1, [1.0, 1.0], '{"s": "x"}')
    assert db.count() == 2
    assert db.delete('{"n": {"$gte": 0}}') == 2
    assert db.delete('{"n": {"$gte": 0}}') == 0
    assert db.clean_expired() is None


def test_count_follows_the_highest_id(db):
    db.add(9, [1.0], "{}")
    assert db.count() == 10


def test_delete_rejects_invalid_json_and_removes_nothing(db):
    db.add(0, [1.0], '{"a": "b"}')
    with pytest.raises(ValueError, match="at line 1 column"):
        db.delete('{"a": ')
    assert db.count() == 1
