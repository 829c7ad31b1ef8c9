"""The module's face to Python: argument matching and conversion, results, errors,
the per-instance borrow flag and reference counting."""
import gc
import importlib
import inspect
import sys

import pytest

import tovik
from conftest import cpython_only, f32

TovikDB = tovik.TovikDB
RANGE_MSG = "out of range integral type conversion attempted"


class Idx:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class Flt:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __float__(self):
        if self.hook:
            self.hook()
        return self.value


class Opaque:
    pass


class LyingLength:
    """A sequence whose length query fails; iteration still works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return float(i + 1)


# --- module -------------------------------------------------------------------------


def test_module_attributes_and_reimport():
    assert tovik.__all__ == ["TovikDB"]
    assert tovik.__doc__ == ""
    assert [n for n in dir(tovik) if not n.startswith("__")] == ["TovikDB"]
    assert (TovikDB.__name__, TovikDB.__module__) == ("TovikDB", "tovik")
    assert importlib.import_module("tovik") is tovik
    del sys.modules["tovik"]
    try:
        again = importlib.import_module("tovik")
    finally:
        sys.modules["tovik"] = tovik
    assert again.TovikDB is TovikDB
    assert again.__all__ == ["TovikDB"]


@cpython_only
@pytest.mark.parametrize(
    "obj, text_signature",
    [
        (TovikDB, "(path)"),
        (TovikDB.add, "($self, internal_id, vector, metadata_json, ttl=None)"),
        (TovikDB.search, "($self, query, k, filter_json=None, include_metadata=True)"),
        (TovikDB.build_results, "($self, scored, include_metadata)"),
        (TovikDB.delete, "($self, filter_json)"),
        (TovikDB.count, "($self)"),
        (TovikDB.clean_expired, "($self)"),
    ],
)
def test_text_signatures(obj, text_signature):
    assert obj.__text_signature__ == text_signature
    assert not obj.__doc__  # nothing besides the signature
    str(inspect.signature(obj))  # parseable


# --- argument lists -----------------------------------------------------------------

V = [1.0, 2.0]

ARGUMENT_LIST_ERRORS = [
    (lambda db: TovikDB(), "TovikDB.__new__() missing 1 required positional argument: 'path'"),
    (lambda db: TovikDB("a", "b"), "TovikDB.__new__() takes 1 positional arguments but 2 were given"),
    (lambda db: TovikDB(pathx="a"), "TovikDB.__new__() got an unexpected keyword argument 'pathx'"),
    (lambda db: TovikDB("a", path="b"), "TovikDB.__new__() got multiple values for argument 'path'"),
    (lambda db: db.add(), "TovikDB.add() missing 3 required positional arguments: "
     "'internal_id', 'vector', and 'metadata_json'"),
    (lambda db: db.add(1), "TovikDB.add() missing 2 required positional arguments: 'vector' and 'metadata_json'"),
    (lambda db: db.add(1, V, ttl=3), "TovikDB.add() missing 1 required positional argument: 'metadata_json'"),
    (lambda db: db.add(1, V, "{}", None, 5),
     "TovikDB.add() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda db: db.add(1, V, "{}", vector=V), "TovikDB.add() got multiple values for argument 'vector'"),
    (lambda db: db.add(1, V, "{}", ttl=None, tll=3), "TovikDB.add() got an unexpected keyword argument 'tll'"),
    (lambda db: db.search(), "TovikDB.search() missing 2 required positional arguments: 'query' and 'k'"),
    (lambda db: db.search(V, 1, None, True, 0),
     "TovikDB.search() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda db: db.build_results([], True, 1),
     "TovikDB.build_results() takes 2 positional arguments but 3 were given"),
    (lambda db: db.build_results(include_metadata=True),
     "TovikDB.build_results() missing 1 required positional argument: 'scored'"),
    (lambda db: db.delete(), "TovikDB.delete() missing 1 required positional argument: 'filter_json'"),
    (lambda db: db.delete("{}", "{}"), "TovikDB.delete() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_LIST_ERRORS)
def test_argument_list_errors(db, call, message):
    with pytest.raises(TypeError) as info:
        call(db)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["count", "clean_expired"])
def test_no_argument_methods_refuse_arguments(db, method):
    with pytest.raises(TypeError):
        getattr(db, method)(1)
    assert getattr(db, method)() == (None if method == "clean_expired" else 0)


class Name(str):
    pass


@pytest.mark.parametrize("make", [str, lambda s: "".join(list(s)), Name], ids=["literal", "built", "subclass"])
def test_keyword_objects_seen_again(db, make):
    """Keyword objects are matched alike on first sight and on every later call, also
    by a method that has no parameter of that name."""
    db.add(0, V, '{"a": 1}')
    expected = db.search(V, 1, None, False)
    for _ in range(3):
        assert db.search(V, **{make("k"): 1, make("include_metadata"): False}) == expected
        with pytest.raises(TypeError) as info:
            db.delete("{}", **{make("include_metadata"): False})
        assert str(info.value) == "TovikDB.delete() got an unexpected keyword argument 'include_metadata'"
        with pytest.raises(TypeError) as info:
            db.search(V, 1, **{make("k"): 1})
        assert str(info.value) == "TovikDB.search() got multiple values for argument 'k'"


def test_every_parameter_by_keyword(tmp_path):
    db = TovikDB(path=str(tmp_path / "kw"))
    assert db.add(metadata_json="{}", ttl=None, vector=(1, 2), internal_id=Idx(3)) is None
    assert db.build_results(include_metadata=False, scored=[(Idx(3), 2)]) == [(3, 2.0, "")]
    assert isinstance(db.search(include_metadata=False, filter_json=None, k=1, query=[1, 2]), list)
    assert isinstance(db.delete(filter_json="{}"), int)


# --- parameter conversion -----------------------------------------------------------

# (call, message after the "argument 'NAME': " prefix, or None to compare with the cause)
PREFIXED_TYPE_ERRORS = [
    (lambda db: TovikDB(b"dir"), "path", "'bytes' object cannot be converted to 'PyString'"),
    (lambda db: db.add(1.0, V, "{}"), "internal_id", None),
    (lambda db: db.add(1, "12", "{}"), "vector", "Can't extract `str` to `Vec`"),
    (lambda db: db.add(1, 5, "{}"), "vector", "'int' object cannot be converted to 'Sequence'"),
    (lambda db: db.add(1, {1: 2.0}, "{}"), "vector", "'dict' object cannot be converted to 'Sequence'"),
    (lambda db: db.add(1, (x for x in V), "{}"), "vector", "'generator' object cannot be converted to 'Sequence'"),
    (lambda db: db.add(1, [1.0, None], "{}"), "vector", None),
    (lambda db: db.add(1, V, {}), "metadata_json", "'dict' object cannot be converted to 'PyString'"),
    (lambda db: db.add(1, V, Opaque()), "metadata_json", "'Opaque' object cannot be converted to 'PyString'"),
    (lambda db: db.add(1, V, "{}", 1.5), "ttl", None),
    (lambda db: db.search("12", 1), "query", "Can't extract `str` to `Vec`"),
    (lambda db: db.search(V, 1.0), "k", None),
    (lambda db: db.search(V, 1, b"{}"), "filter_json", "'bytes' object cannot be converted to 'PyString'"),
    (lambda db: db.search(V, 1, None, 1), "include_metadata", "'int' object cannot be converted to 'PyBool'"),
    (lambda db: db.build_results("ab", True), "scored", "Can't extract `str` to `Vec`"),
    (lambda db: db.build_results(None, True), "scored", "'NoneType' object cannot be converted to 'Sequence'"),
    (lambda db: db.build_results([[1, 0.5]], True), "scored", "'list' object cannot be converted to 'PyTuple'"),
    (lambda db: db.build_results([(1.5, 0.5)], True), "scored", None),
    (lambda db: db.build_results([(1, "x")], True), "scored", None),
    (lambda db: db.build_results([[1, 0.5]], 1), "scored", "'list' object cannot be converted to 'PyTuple'"),
    (lambda db: db.build_results([], None), "include_metadata", "'NoneType' object cannot be converted to 'PyBool'"),
    (lambda db: db.delete(None), "filter_json", "'NoneType' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, name, message", PREFIXED_TYPE_ERRORS)
def test_conversion_type_errors_name_the_parameter(db, call, name, message):
    with pytest.raises(TypeError) as info:
        call(db)
    cause = info.value.__cause__
    assert type(cause) is TypeError
    if message is not None:
        assert str(cause) == message
    assert str(info.value) == "argument '%s': %s" % (name, cause)


# Errors that are not TypeErrors pass through without a prefix. None = the interpreter's text.
UNPREFIXED_ERRORS = [
    (lambda db: db.add(-1, V, "{}"), OverflowError, None),
    (lambda db: db.add(2**32, V, "{}"), OverflowError, RANGE_MSG),
    (lambda db: db.add(2**64, V, "{}"), OverflowError, RANGE_MSG),
    (lambda db: db.add(-(2**70), V, "{}"), OverflowError, None),
    (lambda db: db.add(1, V, "{}", 2**63), OverflowError, None),
    (lambda db: db.add(1, V, "{}", -(2**63) - 1), OverflowError, None),
    (lambda db: db.search(V, -1), OverflowError, None),
    (lambda db: db.search(V, Idx(2**32)), OverflowError, RANGE_MSG),
    (lambda db: db.search(V, 2**32), OverflowError, RANGE_MSG),
    (lambda db: db.search(V, 2**64 + 1), OverflowError, RANGE_MSG),
    (lambda db: db.search(V, -(2**64)), OverflowError, None),
    (lambda db: db.build_results([(2**32, 0.5)], False), OverflowError, RANGE_MSG),
    (lambda db: db.build_results([(-1, 0.5)], False), OverflowError, None),
    (lambda db: db.build_results([(1, 0.5, 2)], True), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda db: db.add(1, [Flt(1.0, hook=lambda: 1 / 0)], "{}"), ZeroDivisionError, None),
    (lambda db: TovikDB("dir\udcff"), UnicodeEncodeError, None),
    (lambda db: db.add(1, V, "\ud800"), UnicodeEncodeError, None),
    (lambda db: db.delete("\udfff"), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, exc, message", UNPREFIXED_ERRORS)
def test_other_errors_pass_through(db, call, exc, message):
    with pytest.raises(exc) as info:
        call(db)
    assert not str(info.value).startswith("argument ")
    if message is not None:
        assert str(info.value) == message


def test_failed_conversion_leaves_database_untouched(db):
    for bad in [lambda: db.add(0, V, "{}", "soon"), lambda: db.add(7, [1.0, Opaque()], "{}")]:
        with pytest.raises(TypeError):
            bad()
    assert db.count() == 0


@pytest.mark.parametrize(
    "vector",
    [[1, 2], (1, 2), [1.0, 2.0], range(1, 3), [True, 2], [Flt(1.0), 2], LyingLength(), bytearray(b"\x01\x02")],
    ids=["ints", "tuple", "floats", "range", "bool", "protocols", "lying-length", "bytearray"],
)
def test_vector_forms_accepted(db, vector):
    assert db.add(0, vector, "{}") is None
    assert db.count() == 1


def test_vector_values_become_float32(db):
    db.add(0, (1, 3), "{}")
    db.add(1, [1.0, 3.0], "{}")
    db.add(2, [0.1, 0.7], "{}")
    db.add(3, [f32(0.1), f32(0.7)], "{}")
    scores = dict((i, s) for i, s, _ in db.search([0.3, 0.9], 4))
    assert scores[0] == scores[1] and scores[2] == scores[3]


@pytest.mark.parametrize(
    "score, widened",
    [(0.1, 0.10000000149011612), (2, 2.0), (Flt(1.5), 1.5), (1e300, float("inf")), (-1e-50, -0.0)],
)
def test_build_results_scores_are_float32(db, score, widened):
    [(i, s, text)] = db.build_results([(Idx(7), score)], False)
    assert (type(i), type(s), text) == (int, float, "")
    assert (i, s) == (7, widened) and str(s) == str(widened)


def test_build_results_keeps_order_duplicates_and_text(db):
    meta = '{"name": "caf\u00e9 \U0001f600"}'
    db.add(4, V, meta)
    assert db.build_results([], True) == db.build_results([], False) == []
    assert db.build_results([(4, 0.25), (9, 1.0), (4, 0.75)], True) == [(4, 0.25, meta), (4, 0.75, meta)]
    assert db.build_results([(9, 1.0), (4, 0.5), (9, 1.0)], False) == [(9, 1.0, ""), (4, 0.5, ""), (9, 1.0, "")]


def test_long_result_lists_keep_every_text_and_score(db):
    texts = ['["%d%s"]' % (i, "\u00e9\U0001f600" * (i % 4)) for i in range(150)] + ["null"]
    for i, text in enumerate(texts):
        db.add(i, V, text)
    pairs = [((i * 37) % 151, (i - 75) / 8) for i in range(300)]  # every id twice, exact floats
    assert db.build_results(pairs, True) == [(i, s, texts[i]) for i, s in pairs]
    assert db.build_results(pairs, False) == [(i, s, "") for i, s in pairs]


def test_upper_bounds_are_accepted(db):
    assert db.build_results([(2**32 - 1, 0.5)], False) == [(2**32 - 1, 0.5, "")]
    assert db.search(V, 2**32 - 1) == db.search(V, 0) == []


# --- borrow flag --------------------------------------------------------------------


def test_reentry_is_refused_by_access_kind(db):
    cases = [
        (lambda: db.add(0, [Flt(1.0, hook=db.count)], "{}"), "Already mutably borrowed"),
        (lambda: db.add(0, [Flt(1.0, hook=lambda: db.build_results([], True))], "{}"), "Already mutably borrowed"),
        (lambda: db.add(Idx(0, hook=lambda: db.add(1, V, "{}")), V, "{}"), "Already borrowed"),
        (lambda: db.search(V, Idx(1, hook=lambda: db.add(1, V, "{}"))), "Already borrowed"),
        (lambda: db.build_results([(Idx(1, hook=lambda: db.add(1, V, "{}")), 0.5)], False), "Already borrowed"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
        assert db.count() == 0  # access was released, nothing was added
    db.add(0, V, "{}")
    assert db.count() == 1


def test_shared_access_nests_and_arguments_are_matched_first(db, tmp_path):
    seen = []
    other = TovikDB(str(tmp_path / "other"))
    db.search(V, Idx(1, hook=lambda: seen.append(db.count())))
    db.add(0, [Flt(1.0, hook=lambda: seen.append(other.count())), 2.0], "{}")
    with pytest.raises(TypeError, match=r"missing 2 required"):
        db.add(1, [Flt(1.0, hook=lambda: db.search())], "{}")
    assert seen == [0, 0] and db.count() == 1


# --- subclassing and bypassed construction ------------------------------------------


def test_subclass_instances(tmp_path):
    class Tagged(TovikDB):
        def label(self):
            return "tagged:%d" % self.count()

    dbs = [Tagged(str(tmp_path / str(i))) for i in range(200)]
    assert isinstance(dbs[0], TovikDB) and dbs[0].label() == "tagged:0"
    dbs[1].add(2, V, "{}")
    assert dbs[1].label() == "tagged:3"
    del dbs
    gc.collect()
    try:
        hollow = object.__new__(Tagged)  # refused by CPython, allowed by PyPy
    except TypeError:
        return
    with pytest.raises(BaseException) as info:
        hollow.count()
    assert not isinstance(info.value, Exception)


# --- errors of the operations (need the real core) -----------------------------------


def test_operation_results_and_errors(db, tmp_path):
    db.add(0, [1.0, 0.0], '{"k": "a"}')
    db.add(1, [0.0, 1.0], '{"k": "b"}', None)
    with pytest.raises(ValueError) as info:
        db.add(2, [1.0, 0.0, 0.0], "{}")
    assert info.value.args == ("Dimension mismatch: expected 2, got 3",)
    with pytest.raises(ValueError):
        db.delete("{not json")
    [(i, s, text)] = db.search([1.0, 0.1], 1)
    assert (type(i), type(s), i, text) == (int, float, 0, '{"k": "a"}') and s == f32(s)
    assert db.search([1.0, 0.1], 1, include_metadata=None) == db.search([1.0, 0.1], 1)
    assert db.delete('{"k": {"$eq": "b"}}') == 1 and db.count() == 1
    assert db.clean_expired() is None
    with pytest.raises(ValueError, match=r"\(os error \d+\)$"):
        TovikDB(str(tmp_path / "db" / "metadata.bin" / "x"))


@pytest.mark.parametrize("ttl, live", [((), 1), ((None,), 1), ((-100,), 0)])
def test_ttl_none_is_omitted(db, ttl, live):
    db.add(0, V, "{}", *ttl)
    assert db.count() == live


# --- reference counts ----------------------------------------------------------------


@cpython_only
def test_reference_counts_are_exact(db, tmp_path):
    import tracemalloc

    big = 1000  # not a cached small int: a lost reference to it shows
    meta, vector, item, idx = "{\"x\": 1}", [1.0, 2.0], Flt(2.0), Idx(big)
    bad = Opaque()
    watched = [db, TovikDB, meta, vector, item, idx, bad, big]

    def calls():
        db.add(idx, [item, 1.0], meta, None)
        db.search(vector, idx, None, True)
        db.build_results([(idx, item), (idx, 0.5)], True)
        db.count()
        for failing in [lambda: db.add(idx, vector, bad), lambda: db.add(-1, vector, meta),
                        lambda: db.add(1, [item, bad], meta), lambda: db.build_results([(idx, bad)], True),
                        lambda: db.add(idx, [item, 1.0], meta, x=1), lambda: db.add(idx, "s", meta)]:
            try:
                failing()
            except (TypeError, OverflowError):
                pass
        TovikDB(str(tmp_path / "other"))  # constructor and deallocation

    calls()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        calls()
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            calls()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == before
    assert growth < 32 * 1024
