"""Faults from the outside world: the metadata file or its directory failing under an
add, the file shrinking under a search, a file-size limit cutting a write short, and an
address-space limit stopping the per-id tables from growing. After each fault the error
is the documented one, whatever was reported stored stays readable, and later
operations work."""
import errno
import fcntl
import gc
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tovik
from conftest import python_command

FOUR_GIB = 2**32
# Under qemu (armhf or arm64): no address-space limits, a threaded fork that is the
# emulator's, and far slower floating point.
EMULATED = os.environ.get("TOVIK_TARGET") in ("armhf", "arm64")


def os_error_text(code):
    return "%s (os error %d)" % (os.strerror(code), code)


def meta_file(db_path):
    return os.path.join(db_path, "metadata.bin")


def run_child(body, timeout=600):
    """Runs `body` in a fresh interpreter that imports tovik the way this one does; the
    child asserts on its own and prints what the parent should compare."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(tovik.__file__), env.get("PYTHONPATH")] if p)
    proc = subprocess.run(python_command() + ["-c", textwrap.dedent(body)], env=env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# --- the metadata file or its directory fails under an add ---------------------------
# Each fault is made by `break_it` and undone by `mend` (which puts the original file
# back where the fault moved it aside), so the bytes of earlier adds are still there.


def _move_dir_away(path):
    os.rename(path, path + ".away")


def _move_dir_back(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)
    os.rename(path + ".away", path)


def _dir_becomes_file(path):
    _move_dir_away(path)
    with open(path, "w") as f:
        f.write("not a directory")


def _file_becomes_dir(path):
    os.rename(meta_file(path), meta_file(path) + ".away")
    os.mkdir(meta_file(path))


def _file_back(path):
    target = meta_file(path)
    if os.path.isdir(target):
        os.rmdir(target)
    else:
        os.remove(target)
    os.rename(target + ".away", target)


def _file_at_size_limit(path):
    os.rename(meta_file(path), meta_file(path) + ".away")
    with open(meta_file(path), "wb") as f:
        f.truncate(FOUR_GIB)  # sparse: costs no disk space


def _file_read_only(path):
    os.chmod(meta_file(path), 0o444)


def _file_writable(path):
    os.chmod(meta_file(path), 0o644)


as_root = hasattr(os, "geteuid") and os.geteuid() == 0

FILE_FAULTS = [
    pytest.param(_move_dir_away, _move_dir_back, os_error_text(errno.ENOENT), id="vanished-directory"),
    pytest.param(_dir_becomes_file, _move_dir_back, os_error_text(errno.ENOTDIR), id="directory-replaced-by-file"),
    pytest.param(_file_becomes_dir, _file_back, os_error_text(errno.EISDIR), id="file-replaced-by-directory"),
    pytest.param(_file_at_size_limit, _file_back, "File too large (max 4GB)", id="file-at-4GiB"),
    pytest.param(_file_read_only, _file_writable, os_error_text(errno.EACCES), id="read-only-file",
                 marks=pytest.mark.skipif(as_root, reason="permission bits do not stop root")),
]

V0, V1, V5, V6 = [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [1.0, 1.0, 0.0]
NOT_MISSING = '{"tag": {"$nin": ["missing"]}}'  # the whole filter universe
NOT_OLD = '{"$not": {"tag": {"$eq": "old"}}}'


def ids(results):
    return sorted(r[0] for r in results)


@pytest.mark.parametrize("break_it, mend, message", FILE_FAULTS)
def test_failed_metadata_write_leaves_the_documented_state(db, db_path, break_it, mend, message):
    db.add(0, V0, '{"tag": "old"}')
    db.add(1, V1, '{"tag": "old"}', 10**9)
    size_before = os.path.getsize(meta_file(db_path))
    break_it(db_path)
    try:
        with pytest.raises(ValueError) as info:
            db.add(5, V5, '{"tag": "new"}', -1000)
        assert info.value.args == (message,)
        # The bound moved (ids 2 to 4 count as skipped ids), the vector is stored, but
        # the id is outside the filter universe and got no expiry: nothing purges it.
        assert db.count() == 6
        assert db.search(V5, 1, include_metadata=False) == [(5, 1.0, "")]
        assert ids(db.search(V5, 10, NOT_MISSING, False)) == [0, 1]
        assert db.search(V5, 10, NOT_OLD, False) == []
        assert db.search(V5, 10, '{"tag": {"$eq": "new"}}', False) == []
        assert db.delete('{"tag": {"$eq": "new"}}') == 0
    finally:
        mend(db_path)
    # Everything reported stored is intact; the failed text has no record.
    assert os.path.getsize(meta_file(db_path)) == size_before
    assert db.build_results([(5, 0.5), (1, 0.25), (0, 0.125)], True) == [(1, 0.25, '{"tag": "old"}'),
                                                                          (0, 0.125, '{"tag": "old"}')]
    db.add(6, V6, '{"tag": "new"}')
    assert os.path.getsize(meta_file(db_path)) == size_before + len('{"tag": "new"}')
    assert ids(db.search(V5, 10, NOT_MISSING)) == [0, 1, 6]
    assert db.count() == 7


def test_fresh_database_on_a_vanished_directory_recovers_when_it_returns(tmp_path):
    path = str(tmp_path / "db")
    db = tovik.TovikDB(path)
    os.rmdir(path)
    with pytest.raises(ValueError) as info:
        db.add(3, [1.0], "{}")
    assert info.value.args == (os_error_text(errno.ENOENT),)
    os.mkdir(path)
    db.add(4, [1.0], '"x"')
    assert db.count() == 5 and db.search([1.0], 5) == [(4, 1.0, '"x"')]


def test_the_last_text_may_cross_the_4GiB_mark(db, db_path):
    with open(meta_file(db_path), "wb") as f:
        f.truncate(FOUR_GIB - 1)  # sparse
    try:
        db.add(0, [1.0], '{"a": 1}')  # starts one byte before the limit: accepted
        assert os.path.getsize(meta_file(db_path)) == FOUR_GIB - 1 + len('{"a": 1}')
        with pytest.raises(ValueError) as info:
            db.add(1, [1.0], "{}")
        assert info.value.args == ("File too large (max 4GB)",)
        assert db.search([1.0], 2) == [(0, 1.0, '{"a": 1}')]  # read back from past 4 GiB - 1
        assert db.count() == 2
    finally:
        os.remove(meta_file(db_path))


# --- the metadata file changes between add and search ---------------------------------

TEXTS = ['{"n": 0}', '{"n": 111}', '{"n": 22222}']


@pytest.mark.parametrize("cut", [
    sum(map(len, TEXTS)) - 1,  # last text one byte short
    len(TEXTS[0]) + len(TEXTS[1]),  # exactly at the end of the second
    len(TEXTS[0]) + 3,  # inside the second
    0,  # emptied
])
def test_truncated_file_drops_only_the_cut_texts_and_appends_continue(db, db_path, cut):
    records, offset = [], 0
    for i, text in enumerate(TEXTS):
        db.add(i, [1.0, float(i)], text)
        records.append((offset, len(text)))
        offset += len(text)
    os.truncate(meta_file(db_path), cut)
    whole = [i for i, (at, n) in enumerate(records) if at + n <= cut]
    assert ids(db.search([1.0, 1.0], 3)) == whole
    assert ids(db.search([1.0, 1.0], 3, include_metadata=False)) == [0, 1, 2]
    # The next text goes to the new end; older records that now reach into it read
    # whatever bytes lie there, since the store keeps positions, not contents.
    db.add(3, [1.0, 3.0], '{"n": 3}')
    records.append((cut, len('{"n": 3}')))
    content = "".join(TEXTS)[:cut] + '{"n": 3}'
    expected = [(i, 0.0, content[at:at + n]) for i, (at, n) in enumerate(records) if at + n <= len(content)]
    assert db.build_results([(i, 0.0) for i in range(4)], True) == expected
    assert os.path.getsize(meta_file(db_path)) == len(content)


def test_replaced_file_yields_whatever_bytes_sit_at_the_recorded_place(db, db_path):
    db.add(0, [1.0], '{"a": 1}')
    db.add(1, [1.0], '{"b": 2}')
    with open(meta_file(db_path), "wb") as f:
        f.write(b"0123456\xff\xfeABCDEFG")
    assert db.build_results([(0, 0.5), (1, 0.5)], True) == [(0, 0.5, "0123456\ufffd"), (1, 0.5, "\ufffdABCDEFG")]


# --- the metadata file changes between two adds ---------------------------------------
# Each change is made between two adds; the second add must give what an open of the
# path per add would: its text goes to the end of whatever the path names now (a new
# file when nothing does), the file the first adds went to gains nothing, and every
# record reads what lies at its place in the file the path names.


def _bytes_of(path):
    with open(path, "rb") as f:
        return f.read()


def _put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def _rewrite_in_place(meta, other):
    with open(meta, "r+b") as f:  # same file, new contents, shorter
        f.write(b"XYZ")
        f.truncate(5)


def _symlink_to_other(meta, other):
    _put(other, b"0123456789abcdefghij")
    os.remove(meta)
    os.symlink(other, meta)


BETWEEN_ADDS = {
    "removed": lambda meta, other: os.remove(meta),
    "moved-away": lambda meta, other: os.rename(meta, other),
    "hard-linked-then-removed": lambda meta, other: (os.link(meta, other), os.remove(meta)),
    "renamed-over": lambda meta, other: (_put(other, b"0123456789abcdefghij"), os.rename(other, meta)),
    "truncated": lambda meta, other: os.truncate(meta, 5),
    "emptied": lambda meta, other: os.truncate(meta, 0),
    "extended": lambda meta, other: os.truncate(meta, 30),
    "rewritten-in-place": _rewrite_in_place,
    "symlink-to-another-file": _symlink_to_other,
    "untouched": lambda meta, other: None,
}


def metadata_descriptors(db_path):
    """This process's descriptors open on a file under db_path: {fd: target}."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue
        if target.startswith(os.path.realpath(db_path) + os.sep):
            found[int(name)] = target
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="lists /proc/self/fd")
@pytest.mark.parametrize("change", sorted(BETWEEN_ADDS))
def test_the_next_add_follows_the_path_as_an_open_per_add_would(db, db_path, change):
    gc.collect()  # earlier tests' objects give back their kept descriptors (there is a cap)
    meta, other = meta_file(db_path), os.path.join(db_path, "other.bin")
    db.add(0, [1.0, 0.0], TEXTS[0])
    db.add(1, [1.0, 1.0], TEXTS[1])
    records = [(0, len(TEXTS[0])), (len(TEXTS[0]), len(TEXTS[1]))]

    def assert_reads(content):  # what sits at each record's place, for those it fits
        readable = {i: content[at:at + n].decode() for i, (at, n) in enumerate(records) if at + n <= len(content)}
        assert db.build_results([(i, 0.5) for i in range(3)], True) == [(i, 0.5, t) for i, t in readable.items()]
        assert {r[0]: r[2] for r in db.search([1.0, 1.0], 3)} == readable

    BETWEEN_ADDS[change](meta, other)
    other_before = _bytes_of(other) if os.path.exists(other) else None
    at_path = _bytes_of(meta) if os.path.exists(meta) else b""
    assert_reads(at_path)
    db.add(2, [0.0, 1.0], TEXTS[2])

    content = at_path + TEXTS[2].encode()
    assert _bytes_of(meta) == content
    if other_before is not None and os.path.realpath(meta) != os.path.realpath(other):
        assert _bytes_of(other) == other_before
    records.append((len(at_path), len(TEXTS[2])))
    assert_reads(content)
    # One descriptor is kept, on the file the path names, and it is not inherited by exec.
    kept = metadata_descriptors(db_path)
    assert list(kept.values()) == [os.path.realpath(meta)]
    assert fcntl.fcntl(next(iter(kept)), fcntl.F_GETFD) & fcntl.FD_CLOEXEC


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="lists /proc/self/fd")
def test_many_live_objects_keep_a_bounded_number_of_descriptors(tmp_path):
    gc.collect()
    dbs = [tovik.TovikDB(str(tmp_path / str(i))) for i in range(40)]
    for round_ in range(2):
        for i, one in enumerate(dbs):
            one.add(round_, [1.0, float(i)], TEXTS[round_])
    kept = metadata_descriptors(str(tmp_path))
    assert 0 < len(kept) <= 16
    for one in dbs:
        assert one.build_results([(0, 0.5), (1, 0.25)], True) == [(0, 0.5, TEXTS[0]), (1, 0.25, TEXTS[1])]
    del dbs, one
    gc.collect()
    assert metadata_descriptors(str(tmp_path)) == {}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(EMULATED, reason="the emulator's fork of a threaded process is not the target's")
def test_a_forked_child_and_its_parent_append_at_the_end_in_turn(db, db_path):
    texts = ['{"parent": 0}', '{"child": 1}', '{"parent": 2}', '{"child": 3}']
    db.add(0, [1.0], texts[0])
    for i in (1, 3):
        pid = os.fork()
        if pid == 0:  # appends through the descriptor it inherited
            try:
                db.add(i, [1.0], texts[i])
                os._exit(0 if db.build_results([(i, 0.5)], True) == [(i, 0.5, texts[i])] else 3)
            finally:
                os._exit(4)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
        if i == 1:
            db.add(2, [1.0], texts[2])
    assert _bytes_of(meta_file(db_path)) == "".join(texts).encode()
    assert db.build_results([(0, 0.5), (2, 0.25)], True) == [(0, 0.5, texts[0]), (2, 0.25, texts[2])]


# Things that are not a regular file standing at metadata.bin. Each run is a child
# process, so that a wait on a FIFO fails the test through the timeout instead of
# stopping the run: reads must leave the documents out, adds fail with the error text,
# and once the file is back everything works again.
NOT_REGULAR = {
    "fifo": ("os.mkfifo(meta)", errno.ENXIO),
    "link-to-fifo": ("os.mkfifo(meta + '.fifo'); os.symlink(meta + '.fifo', meta)", errno.ENXIO),
    "link-to-dev-zero": ("os.symlink('/dev/zero', meta)", errno.ENXIO),
    "link-to-dev-null": ("os.symlink('/dev/null', meta)", errno.ENXIO),
    "directory": ("os.mkdir(meta)", errno.EISDIR),
}


@pytest.mark.parametrize("kind", sorted(NOT_REGULAR))
def test_a_metadata_file_that_is_not_a_regular_file_is_never_waited_on(tmp_path, kind):
    make, code = NOT_REGULAR[kind]
    out = run_child("""
        import os, shutil, tovik
        path = %r
        meta = os.path.join(path, "metadata.bin")
        db = tovik.TovikDB(path)
        db.add(0, [1.0, 0.0], '{"t": "a"}')
        os.rename(meta, meta + ".away")
        %s
        print(db.search([1.0, 0.0], 1), db.search([1.0, 0.0], 1, '{"t": {"$eq": "a"}}', False))
        try:
            db.add(1, [0.0, 1.0], '{"t": "b"}')
        except ValueError as e:
            print(repr(e.args))
        print(db.build_results([(0, 0.5), (1, 0.25)], True))
        shutil.rmtree(meta) if os.path.isdir(meta) and not os.path.islink(meta) else os.remove(meta)
        os.rename(meta + ".away", meta)
        db.add(2, [0.0, 1.0], '{"t": "c"}')
        print(db.search([1.0, 1.0], 3, '{"t": {"$in": ["a", "b", "c"]}}'))
    """ % (str(tmp_path / "db"), make), timeout=60)
    assert out.splitlines() == [
        "[] [(0, 1.0, '')]",
        repr((os_error_text(code),)),
        "[]",
        "[(0, 0.7071067690849304, '{\"t\": \"a\"}'), (2, 0.7071067690849304, '{\"t\": \"c\"}')]",
    ]


# --- process limits, in a child process ------------------------------------------------


def test_file_size_limit_cuts_a_write_short_and_later_adds_work(tmp_path):
    out = run_child("""
        import os, resource, signal, tovik
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        path = %r
        db = tovik.TovikDB(path)
        first, second = '{"k": "%%s"}' %% ("a" * 30), '{"k": "%%s"}' %% ("b" * 30)
        db.add(0, [1.0, 0.0], first, None)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(first) + 10, hard))
        try:
            db.add(1, [0.0, 1.0], second, -100)
        except ValueError as e:
            print(repr(e.args))
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        size = os.path.getsize(os.path.join(path, "metadata.bin"))
        assert size == len(first) + 10, size  # the part that fit is in the file
        assert db.count() == 2  # bound moved, no expiry recorded
        assert db.search([0.0, 1.0], 2, None, False)[0][0] == 1
        assert db.search([0.0, 1.0], 2) == [(0, 0.0, first)]
        assert db.search([0.0, 1.0], 2, '{"k": {"$nin": ["z"]}}', False) == [(0, 0.0, "")]
        db.add(2, [0.0, 1.0], second, None)
        assert db.search([0.0, 1.0], 3) == [(2, 1.0, second), (0, 0.0, first)]
        assert os.path.getsize(os.path.join(path, "metadata.bin")) == size + len(second)
        print("ok")
    """ % str(tmp_path / "db"))
    assert out.splitlines() == [repr((os_error_text(errno.EFBIG),)), "ok"]


@pytest.mark.skipif(EMULATED, reason="the emulator ignores address-space limits; the 32-bit address "
                                  "space itself is exercised by the largest-id test")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_address_space_limit_makes_a_huge_id_fail_without_changing_anything(tmp_path):
    out = run_child("""
        import resource, tovik
        with open("/proc/self/status") as f:
            vm = [int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:")][0]
        db = tovik.TovikDB(%r)
        for i in range(50):
            db.add(i, [1.0, float(i)], '{"i": %%d}' %% i, 10**9 if i %% 2 else None)
        state = lambda: (db.count(), db.search([1.0, 3.0], 5), db.search([1.0, 3.0], 5, '{"i": {"$gte": 40}}'))
        before = state()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (512 << 20), resource.RLIM_INFINITY))
        for huge in (2**31, 2**32 - 2, 2**32 - 1):
            try:
                db.add(huge, [1.0, 3.0], '{"i": 1}', -5)
            except MemoryError:
                print("MemoryError")
            assert state() == before, (huge, state(), before)
        db.add(50, [1.0, 3.0], '{"i": 50}', None)
        assert db.count() == 51 and db.search([1.0, 3.0], 1) == [(50, 1.0, '{"i": 50}')]
        print("ok")
    """ % str(tmp_path / "db"))
    assert out.splitlines() == ["MemoryError"] * 3 + ["ok"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(EMULATED, reason="the emulator's fork of a threaded process is not the target's")
def test_a_forked_child_scores_in_parallel_without_the_parents_workers(db):
    for i in range(3000):
        db.add(i, [1.0, float(i % 97), float(i % 13)], "{}")
    query = [1.0, 2.0, 3.0]
    expected = db.search(query, 1500, None, False)  # more than 1000 candidates: the pool exists now
    pid = os.fork()
    if pid == 0:  # the child has the pool's bookkeeping but none of its threads
        try:
            os._exit(0 if db.search(query, 1500, None, False) == expected else 3)
        finally:
            os._exit(4)
    deadline = time.time() + 120
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.time() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the child's parallel search never finished")
        time.sleep(0.05)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


@pytest.mark.skipif(os.environ.get("TOVIK_TARGET") == "armhf", reason="the 32-bit address space is exercised by the largest-id test")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("big_id", [100000000, 2**32 - 2])
def test_a_large_id_costs_address_space_but_not_resident_memory(tmp_path, big_id):
    # Slots below the id are never written, so they must not become resident; where
    # the tables cannot be mapped at all the add fails with MemoryError instead.
    out = run_child("""
        import tovik
        def rss():
            with open("/proc/self/status") as f:
                return [int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:")][0]
        db = tovik.TovikDB(%r)
        db.add(3, [0.0, 1.0], '{"k": 0}', 3600)
        before = rss()
        try:
            db.add(%d, [1.0, 2.0], '{"k": 1}', 3600)
        except MemoryError:
            print("MemoryError")
        else:
            print(rss() - before < (64 << 20), db.count(), [h[0] for h in db.search([1.0, 2.0], 5)])
    """ % (str(tmp_path / "db"), big_id))
    assert out.split("\n")[0] in ("MemoryError", "True %d [%d, 3]" % (big_id + 1, big_id))
