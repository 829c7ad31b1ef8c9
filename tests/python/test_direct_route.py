"""PyPy's direct route for add, search and count against the C type's own methods (the
general path), call for call on twin stores: the same answers, the same errors, and the
general path whenever the route cannot serve."""
import platform
import random

import pytest

import tovik

pytestmark = pytest.mark.skipif(platform.python_implementation() != "PyPy", reason="the route is PyPy's")

TovikDB = tovik.TovikDB
General = TovikDB.__mro__[1]
DIM = 8


def test_the_route_is_installed():
    assert (TovikDB.__name__, TovikDB.__qualname__, TovikDB.__module__) == ("TovikDB", "TovikDB", "tovik")
    assert General.__name__ == "TovikDB" and issubclass(TovikDB, General)
    for name in ("add", "search", "count"):
        assert getattr(TovikDB, name) is not getattr(General, name)


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as e:  # noqa: B902 - the kind and text are what is compared
        return (type(e).__name__, str(e))


def vec(rng, dim=DIM):
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


LONG = '{"blob": "%s"}' % ("x" * 5000)
TEXTS = ['{"cat": "a", "n": 1}', '{"cat": "b"}', "{}", '{"t": "é ☃ 𝄞"}', '{"t": "a\\u0000b"}', "a\x00b",
         "{not json", LONG, ""]

# (label, method, args, kwargs); "V" stands for a fresh vector of the store's dimension.
CALLS = [
    ("search", "search", ("V", 10), {}),
    ("k beyond the store", "search", ("V", 500), {}),
    ("k 0", "search", ("V", 0), {}),
    ("no metadata", "search", ("V", 10, None, False), {}),
    ("metadata None", "search", ("V", 10), {"include_metadata": None}),
    ("filter", "search", ("V", 100), {"filter_json": '{"cat": {"$eq": "a"}}'}),
    ("filter matching nothing", "search", ("V", 5, '{"cat": {"$eq": "zz"}}'), {}),
    ("bad filter", "search", ("V", 5, "{oops"), {}),
    ("short query", "search", ([0.5] * (DIM - 3), 5), {}),
    ("long query", "search", ([0.5] * (DIM + 3), 5), {}),
    ("k negative", "search", ("V", -1), {}),
    ("k keyword", "search", ("V",), {"k": 3}),
    ("query twice", "search", ("V", 3), {"query": [1.0]}),
    ("unknown keyword", "search", ("V", 3), {"kk": 1}),
    ("add", "add", (9000, "V", '{"cat": "a"}'), {}),
    ("add ttl", "add", (9001, "V", "{}", 60), {}),
    ("add ttl keyword", "add", (9002, "V", "{}"), {"ttl": -5}),
    ("add bad json", "add", (9003, "V", "{bad"), {}),
    ("add wrong dimension", "add", (9004, [1.0] * (DIM + 1), "{}"), {}),
    ("add id too large", "add", (2 ** 32, "V", "{}"), {}),
    ("add surrogate", "add", (9005, "V", "\ud800"), {}),
    ("add ints", "add", (9006, [1] * DIM, "{}"), {}),
    ("add tuple", "add", (9007, (0.5,) * DIM, "{}"), {}),
    ("add ttl bool", "add", (9008, "V", "{}", True), {}),
    ("add missing", "add", (9009, "V"), {}),
    ("count", "count", (), {}),
    ("count with argument", "count", (1,), {}),
]


def twin_stores(tmp_path, seed):
    rng = random.Random(seed)
    stores = (TovikDB(str(tmp_path / "routed")), TovikDB(str(tmp_path / "general")))
    docs = [(i, vec(rng), TEXTS[i % len(TEXTS)]) for i in range(300)]
    for db in stores:
        for i, v, text in docs:
            outcome(lambda: General.add(db, i, v, text))
    return stores, rng


@pytest.mark.parametrize("seed", [1, 2])
def test_route_and_general_path_agree(tmp_path, seed):
    (routed, general), rng = twin_stores(tmp_path, seed)
    for label, method, args, kwargs in CALLS * 2:
        v = vec(rng)
        args = tuple(v if a == "V" else a for a in args)
        kwargs = {k: (v if a == "V" else a) for k, a in kwargs.items()}
        mine = outcome(lambda: getattr(routed, method)(*args, **kwargs))
        theirs = outcome(lambda: getattr(General, method)(general, *args, **kwargs))
        assert mine == theirs, label
    assert routed.count() == General.count(general) > 300


def test_stored_bytes_that_are_not_utf8_come_back_replaced(tmp_path):
    """Bytes that are not UTF-8 (the file changed behind the store's back) come back
    replaced, as on the general path."""
    db = TovikDB(str(tmp_path / "db"))
    for i in range(4):
        db.add(i, [1.0, float(i)], '{"n": "%d"}' % i)
    with open(str(tmp_path / "db" / "metadata.bin"), "r+b") as f:
        data = bytearray(f.read())
        data[data.index(b'"2"') + 1] = 0xFF
        f.seek(0)
        f.write(bytes(data))
    assert db.search([1.0, 1.0], 4) == General.search(db, [1.0, 1.0], 4)
    assert "\ufffd" in "".join(text for _, _, text in db.search([1.0, 1.0], 4))


@pytest.mark.parametrize("token", [0, 12345, 2 ** 40 + 1, "other"])
def test_a_forged_or_stale_token_goes_the_general_way(tmp_path, token):
    db = TovikDB(str(tmp_path / "db"))
    db.add(0, [1.0, 0.0], "{}")
    if token == "other":  # the token of an instance that is gone
        gone = TovikDB(str(tmp_path / "gone"))
        token = gone._TovikDB__token
        del gone
        import gc

        gc.collect()
    db._TovikDB__token = token
    db.add(1, [0.0, 1.0], '{"k": 1}')
    assert db.count() == 2 and [r[0] for r in db.search([0.0, 1.0], 2)] == [1, 0]


def test_a_hollow_instance_raises_the_internal_error():
    hollow = object.__new__(TovikDB)
    for call in (hollow.count, lambda: hollow.add(0, [1.0], "{}"), lambda: hollow.search([1.0], 1)):
        with pytest.raises(BaseException) as info:
            call()
        assert not isinstance(info.value, Exception)
