import contextlib
import errno
import os
import shutil
import socket
import stat
import sys
import tempfile
import threading
import time

import pytest

from conftest import arg_type_error, assert_no_leaks, run_python, start_python
from velk_dev_kit import DataRecorder

WARNING = "警告：文件名 '{}' 中包含目录路径，已自动修正为 '{}'\n"


@pytest.fixture
def root(tmp_path, monkeypatch):
    monkeypatch.setenv("KELM_SIM_LOG_PATH", str(tmp_path))
    return tmp_path


@pytest.fixture
def recorder(root):
    return DataRecorder()


@pytest.mark.parametrize(
    "env, base_dir, expected",
    [
        (None, "data_logs", "/tmp/data_logs"),
        ("{root}", "runs/a", "{root}/runs/a"),
        ("{root}", "/abs/elsewhere", "/abs/elsewhere"),
        ("{root}/x/y", "../z", "{root}/x/z"),
        ("{root}", "a//b/./c/", "{root}/a/b/c"),
        ("{root}/\udcff", "runs", "{root}/\udcff/runs"),  # an undecodable byte in the root
    ],
)
def test_base_dir_is_resolved_below_the_root(tmp_path, monkeypatch, env, base_dir, expected):
    if env is None:
        monkeypatch.delenv("KELM_SIM_LOG_PATH", raising=False)
    else:
        monkeypatch.setenv("KELM_SIM_LOG_PATH", env.format(root=tmp_path))
    if base_dir.startswith("/"):
        base_dir = str(tmp_path / base_dir.lstrip("/"))
        expected = base_dir
    rec = DataRecorder(base_dir)
    assert rec.base_dir == expected.format(root=tmp_path)
    assert os.path.isdir(rec.base_dir)


def test_empty_root_resolves_against_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.setenv("KELM_SIM_LOG_PATH", "")
    monkeypatch.chdir(tmp_path)
    assert DataRecorder("logs").base_dir == str(tmp_path / "logs")


def test_construction_is_idempotent_and_silent(root, capsys):
    DataRecorder("same")
    DataRecorder("same")
    assert capsys.readouterr().out == ""


OTHER_UID = 65534  # a user other than the one running the tests, and not root


def _owned(path, uid, mode=None):
    if mode is not None:
        os.chmod(path, mode)
    os.chown(path, uid, uid, follow_symlinks=False)
    return path


# What is at the base directory's name beforehand: the name to give, and the
# root to give it under (None: the test's root).
PREPARED = {
    "a file": lambda r: (_filled(r / "occupied"), None),
    "another user's 0777 directory": lambda r: (_owned(_made(r / "d"), OTHER_UID, 0o777), None),
    "another user's 0755 directory": lambda r: (_owned(_made(r / "d"), OTHER_UID, 0o755), None),
    "another user's link to an own directory": lambda r: (
        _owned(_linked(r / "l", _made(r / "own")), OTHER_UID), None),
    "an own directory": lambda r: (_made(r / "d"), None),
    "an own link to another user's directory": lambda r: (
        _linked(r / "l", _owned(_made(r / "theirs"), OTHER_UID, 0o755)), None),
    "below a sticky root-owned root": lambda r: ("data_logs", _made(r / "tmp", 0o1777)),
}


def _filled(path):
    path.write_text("")
    return path


def _made(path, mode=0o755):
    os.mkdir(path)
    os.chmod(path, mode)
    return path


def _linked(path, target):
    os.symlink(target, path)
    return path


@pytest.mark.parametrize("prepared, error", [
    ("a file", FileExistsError),
    ("another user's 0777 directory", PermissionError),
    ("another user's 0755 directory", PermissionError),
    ("another user's link to an own directory", PermissionError),
    ("an own directory", None),
    ("an own link to another user's directory", None),
    ("below a sticky root-owned root", None),
])
def test_base_dir_made_beforehand(root, monkeypatch, capsys, prepared, error):
    base_dir, new_root = PREPARED[prepared](root)
    if new_root is not None:
        monkeypatch.setenv("KELM_SIM_LOG_PATH", str(new_root))
    if error is None:
        rec = DataRecorder(str(base_dir))
        rec.log_text("f", "v")
        assert read(rec, "f") == b"v\n"
        return
    before = sorted(os.listdir(root))
    with pytest.raises(error) as info:
        DataRecorder(str(base_dir))
    if error is PermissionError:
        path = os.path.join(root, base_dir)
        assert (info.value.errno, info.value.filename) == (errno.EPERM, path)
        assert f"another user (uid {OTHER_UID})" in str(info.value)
    assert sorted(os.listdir(root)) == before and capsys.readouterr().out == ""


def test_base_dir_owners_for_a_user_other_than_root():
    # The module is loaded, then the child becomes an ordinary user: its own
    # directories and root's are taken, a third user's is refused.
    shared = tempfile.mkdtemp(prefix="velk-owners-")
    try:
        os.chmod(shared, 0o755)
        for name, uid, mode in [("own", OTHER_UID, 0o755), ("roots", 0, 0o777),
                                ("third", OTHER_UID - 1, 0o777)]:
            _owned(_made(os.path.join(shared, name)), uid, mode)
        code = (
            "import os\n"
            "from velk_dev_kit import DataRecorder\n"
            f"os.setgid({OTHER_UID}); os.setuid({OTHER_UID})\n"
            "for name in ['own', 'roots', 'third']:\n"
            "    try:\n"
            f"        DataRecorder(os.path.join({shared!r}, name))\n"
            "        print(name, 'taken')\n"
            "    except OSError as e:\n"
            "        print(name, type(e).__name__, e.errno)\n"
        )
        child = run_python(code, timeout=30)
        assert child.stdout.split("\n") == [
            "own taken", "roots taken", f"third PermissionError {errno.EPERM}", ""], child.stderr
    finally:
        shutil.rmtree(shared)


def error_of(call):
    try:
        call()
    except Exception as e:
        return e
    pytest.fail("no exception raised")


def same_error(ours, theirs):
    assert (type(ours), str(ours), getattr(ours, "errno", None),
            getattr(ours, "filename", None)) == (
        type(theirs), str(theirs), getattr(theirs, "errno", None),
        getattr(theirs, "filename", None))


@pytest.mark.parametrize("base_dir", ["b\x00c", "x/b\x00c/d", "s\ud800", "n" * 300])
def test_base_dir_the_system_refuses_fails_like_makedirs(root, base_dir):
    ours = error_of(lambda: DataRecorder(base_dir))
    left = list(os.walk(root))
    shutil.rmtree(root)
    os.mkdir(root)
    same_error(ours, error_of(lambda: os.makedirs(os.path.join(root, base_dir), exist_ok=True)))
    assert left == list(os.walk(root))


def read(rec, name):
    with open(rec.get_file_path(name), "rb") as f:
        return f.read()


def test_records_append_and_w_truncates(recorder):
    recorder.log_text("a.txt", "hello")
    recorder.log_text("a.txt", "hello")
    assert read(recorder, "a.txt") == b"hello\nhello\n"
    recorder.log_text("a.txt", "x", mode="w")
    assert read(recorder, "a.txt") == b"x\n"


@pytest.mark.parametrize(
    "content, stored",
    [
        ("", b"\n"),
        ("line\n", b"line\n\n"),
        ("héllo 世界 🚀", "héllo 世界 🚀\n".encode()),
        ("he\x00llo", b"he\x00llo\n"),
        # the edges of each UTF-8 length, in each width of str
        ("\x7f\x80\xff", "\x7f\x80\xff\n".encode()),
        ("\u07ff\u0800\ud7ff\ue000\uffff", "\u07ff\u0800\ud7ff\ue000\uffff\n".encode()),
        ("\x7f\U00010000\U0010ffff", "\x7f\U00010000\U0010ffff\n".encode()),
    ],
)
@pytest.mark.parametrize("mode", ["a", "a+"])
def test_record_bytes_are_utf8_with_one_line_feed(recorder, content, stored, mode):
    recorder.log_text("r.txt", content, mode)
    assert read(recorder, "r.txt") == stored


@pytest.mark.parametrize(
    "filename, content, mode",
    [
        ("f", "é" * 10**6, "a"),
        ("f", "记录" * 10**5, "w"),
        ("f", "🚀" * 10**5, "a+"),
        ("名字.txt", "中文", "a"),
        ("目录/名字.txt", "中文", "a"),
    ],
)
def test_no_utf8_copy_is_left_on_the_caller_strings(recorder, filename, content, mode):
    # Fresh copies: literals may already carry a UTF-8 form from elsewhere.
    filename, content = (s.encode().decode() for s in (filename, content))
    sizes = [sys.getsizeof(filename), sys.getsizeof(content)]
    recorder.log_text(filename, content, mode)
    recorder.get_file_path(filename)
    assert [sys.getsizeof(filename), sys.getsizeof(content)] == sizes
    assert read(recorder, filename) == content.encode() + b"\n"


def test_utf8_regardless_of_locale(recorder, monkeypatch):
    import locale

    monkeypatch.setattr(locale, "getpreferredencoding", lambda *a: "latin-1")
    recorder.log_text("l.txt", "中文", mode="a+")
    recorder.log_text("l.txt", "中文")
    assert read(recorder, "l.txt") == "中文\n中文\n".encode()


@pytest.mark.parametrize(
    "name, bare, warns",
    [
        ("c.txt", "c.txt", False),
        ("sub/dir/b.txt", "b.txt", True),
        ("../../etc/passwd", "passwd", True),
        ("back\\slash.txt", "back\\slash.txt", False),
        ("名字.txt", "名字.txt", False),
        ("\udcff.txt", "\udcff.txt", False),  # undecodable byte, as os.listdir gives it
    ],
)
def test_directory_parts_are_stripped_with_a_warning(recorder, capsys, name, bare, warns):
    assert recorder.get_file_path(name) == os.path.join(recorder.base_dir, bare)
    recorder.log_text(name, "v")
    out = capsys.readouterr().out
    assert out == (WARNING.format(name, bare) * 2 if warns else "")
    assert os.listdir(recorder.base_dir) == [bare]


def test_name_ending_in_slash_warns_then_fails(recorder, capsys):
    with pytest.raises(IsADirectoryError) as info:
        recorder.log_text("logs/", "v")
    assert info.value.filename == recorder.base_dir + "/"
    assert capsys.readouterr().out == WARNING.format("logs/", "")


@pytest.mark.parametrize(
    "name, mode",
    [
        ("a\x00b.txt", "a"),
        ("a\x00b.txt", "w"),
        ("a\x00b.txt", "a+"),
        ("a\x00", "w"),
        ("a", "a\x00"),
        ("a", ""),
        ("s\ud800.txt", "a"),
        ("s\ud800.txt", "a+"),
        (".", "a"),
        ("..", "w"),
        ("", "a"),
        ("n" * 256, "a"),
        ("n" * 256, "w"),
    ],
)
def test_names_and_modes_the_system_refuses_fail_like_open(recorder, name, mode):
    # Nothing may be written anywhere, in particular not to the file the
    # name would be cut down to at a NUL.
    recorder.log_text("a", "keep")
    theirs = error_of(lambda: open(recorder.get_file_path(name), mode, encoding="utf-8"))
    same_error(error_of(lambda: recorder.log_text(name, "hello", mode)), theirs)
    assert os.listdir(recorder.base_dir) == ["a"]
    assert read(recorder, "a") == b"keep\n"


def test_get_file_path_only_computes_the_path(recorder):
    assert recorder.get_file_path("x/a\x00b") == recorder.base_dir + "/a\x00b"
    assert os.listdir(recorder.base_dir) == []


@pytest.mark.parametrize("mode", ["a", "w", "a+"])
def test_os_errors_match_plain_open(recorder, mode):
    missing = os.path.join(recorder.base_dir, "gone")
    rec = DataRecorder(missing)
    os.rmdir(missing)
    with pytest.raises(FileNotFoundError) as ours:
        rec.log_text("f.txt", "x", mode)
    with pytest.raises(FileNotFoundError) as theirs:
        open(os.path.join(missing, "f.txt"), mode, encoding="utf-8")
    assert (ours.value.errno, ours.value.filename) == (theirs.value.errno, theirs.value.filename)


def test_read_only_mode_fails_like_open(recorder):
    recorder.log_text("ro.txt", "keep")
    with pytest.raises(OSError):
        recorder.log_text("ro.txt", "x", "r")
    assert read(recorder, "ro.txt") == b"keep\n"


@pytest.mark.parametrize("content", ["bad \ud800", "\udfff", "é" * 5000 + "\udc80", "🚀\ud83d"])
@pytest.mark.parametrize("mode", ["a", "w", "a+"])
def test_unencodable_record_leaves_the_file_untouched(recorder, mode, content):
    recorder.log_text("u.txt", "before")
    with pytest.raises(UnicodeEncodeError) as info:
        recorder.log_text("u.txt", content, mode)
    assert str(info.value) == str(error_of(lambda: content.encode()))
    assert read(recorder, "u.txt") == b"before\n"
    with pytest.raises(UnicodeEncodeError):
        recorder.log_text("new.txt", content, mode)
    assert os.listdir(recorder.base_dir) == ["u.txt"]


def test_record_too_large_for_the_file_is_not_reported_as_written(root):
    # A record cut short by the file-size limit must raise, as open().write would.
    code = (
        "import resource\n"
        "from velk_dev_kit import DataRecorder\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "r = DataRecorder()\n"
        "try:\n"
        "    r.log_text('big.txt', 'x' * 10000)\n"
        "except OSError as e:\n"
        "    print(e.errno)\n"
    )
    child = run_python(code, env=dict(os.environ, KELM_SIM_LOG_PATH=str(root)))
    assert (child.returncode, child.stdout) == (0, f"{errno.EFBIG}\n"), child.stderr


def _fifo(path):
    os.mkfifo(path)
    return None


def _fifo_with_reader(path):
    os.mkfifo(path)
    return os.open(path, os.O_RDONLY | os.O_NONBLOCK)


def _socket(path):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(path)
    return sock


# What sits at the file's name, made by each entry; the errno it is refused with.
NOT_REGULAR = {
    "link": (lambda p: os.symlink(os.path.join(os.path.dirname(p), "..", "victim"), p),
             errno.ELOOP),
    "dangling link": (lambda p: os.symlink(os.path.join(os.path.dirname(p), "..", "created"), p),
                      errno.ELOOP),
    "fifo": (_fifo, errno.ENXIO),
    "fifo with a reader": (_fifo_with_reader, errno.ENXIO),
    "socket": (_socket, errno.ENXIO),
    "device": (lambda p: os.mknod(p, stat.S_IFCHR | 0o666, os.makedev(1, 3)), errno.ENXIO),
    "directory": (os.mkdir, errno.EISDIR),
}


def _log_text_bounded(recorder, name, mode, path):
    """recorder.log_text(name, ...) in a thread given 5 s; a writer blocked on a
    FIFO is let go by opening its reading end."""
    outcome = []

    def call():
        try:
            recorder.log_text(name, "attack", mode)
            outcome.append(None)
        except BaseException as e:
            outcome.append(e)

    worker = threading.Thread(target=call, daemon=True)
    worker.start()
    worker.join(5)
    if worker.is_alive():
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        deadline = time.monotonic() + 5
        while worker.is_alive() and time.monotonic() < deadline:
            with contextlib.suppress(BlockingIOError):
                os.read(fd, 1 << 16)
            time.sleep(0.01)
        os.close(fd)
        pytest.fail("log_text blocked on the name")
    return outcome[0]


@pytest.mark.parametrize("mode", ["a", "w", "a+", "w+", "r+"])
@pytest.mark.parametrize("kind", list(NOT_REGULAR))
def test_only_a_regular_file_at_the_name_is_written(recorder, tmp_path, kind, mode):
    target = tmp_path / "victim"
    target.write_text("precious\n")
    make, expected = NOT_REGULAR[kind]
    path = recorder.get_file_path(kind)
    held = make(path)
    try:
        error = _log_text_bounded(recorder, kind, mode, path)
        assert (type(error), error.errno, error.filename) == (
            type(OSError(expected, "")), expected, path)
        assert target.read_text() == "precious\n"
        assert not (tmp_path / "created").exists()
        if kind == "fifo with a reader":
            assert os.read(held, 1) == b""  # no writer left, and nothing written
    finally:
        if isinstance(held, int):
            os.close(held)
        elif held is not None:
            held.close()


class Hostile(str):
    """A str subclass whose every hook raises."""

    def _raise(self, *args):
        raise RuntimeError("hook called")

    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __fspath__ = _raise


class Opaque:
    _raise = Hostile._raise
    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __fspath__ = _raise


@pytest.mark.parametrize(
    "call, name, got",
    [
        (lambda r: r.log_text(Hostile("f"), "x"), "filename", "Hostile"),
        (lambda r: r.log_text("f", Hostile("x")), "content", "Hostile"),
        (lambda r: r.log_text("f", "x", Hostile("a")), "mode", "Hostile"),
        (lambda r: r.log_text("f", Opaque()), "content", "Opaque"),
        (lambda r: r.get_file_path(Opaque()), "filename", "Opaque"),
        (lambda r: DataRecorder(Hostile("d")), "base_dir", "Hostile"),
        (lambda r: r.log_text(1, "x"), "filename", "int"),
        (lambda r: r.log_text("f", None), "content", "NoneType"),
        (lambda r: r.log_text("f", "x", b"a"), "mode", "bytes"),
        (lambda r: r.get_file_path(type("S", (str,), {})("f")), "filename", "S"),
        (lambda r: r._sanitize_filename(None), "filename", "NoneType"),
        (lambda r: DataRecorder(None), "base_dir", "NoneType"),
    ],
)
def test_argument_types_are_checked_before_any_effect(recorder, capsys, call, name, got):
    with pytest.raises(TypeError) as info:
        call(recorder)
    assert str(info.value) == arg_type_error(name, "str", got)
    assert os.listdir(recorder.base_dir) == []
    assert capsys.readouterr().out == ""


class KeyEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("__eq__ called")


@pytest.mark.parametrize(
    "call, error",
    [
        # a keyword whose comparison raises: the error travels, as for a Python function
        (lambda r: r.log_text(**{KeyEq("filename"): "f", "content": "x"}), RuntimeError),
        (lambda r: r.log_text("d/" + "n" * 10**6, "x"), OSError),
    ],
)
def test_hostile_calls_end_in_a_clear_exception(recorder, capsys, call, error):
    with pytest.raises(error):
        call(recorder)
        pytest.fail("the call returned")
    assert os.listdir(recorder.base_dir) == []


@pytest.mark.parametrize("content", ["x" * (50 << 20), "记录" * (10 << 20)])
def test_huge_records_are_written_whole(recorder, content):
    recorder.log_text("huge.txt", content)
    with open(recorder.get_file_path("huge.txt"), encoding="utf-8", newline="") as f:
        assert f.read() == content + "\n"


def test_overridden_steps_are_used_and_results_checked(root):
    class Flat(DataRecorder):
        def _sanitize_filename(self, filename):
            return "fixed.txt"

    class Broken(DataRecorder):
        def _get_full_path(self, filename):
            return 42

    flat = Flat()
    flat.log_text("anything", "v")
    assert read(flat, "x") == b"v\n"
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Broken().get_file_path("x")


def _appender_process(root, worker, count, unit, times):
    code = (
        "from velk_dev_kit import DataRecorder\n"
        "rec = DataRecorder()\n"
        f"for i in range({count}):\n"
        f"    rec.log_text('shared.txt', f'{worker}:{{i}}:' + {unit!r} * {times})\n"
    )
    return start_python(code, env=dict(os.environ, KELM_SIM_LOG_PATH=str(root)))


@pytest.mark.parametrize(
    "count, unit, times", [(500, "x", 10), (20, "x", 200_000), (100, "记录é🚀", 2000)])
def test_concurrent_records_never_interleave(recorder, root, count, unit, times):
    # Threads share one recorder (and so one set of module and instance state);
    # the processes append to the same file beside them.
    payload = unit * times
    procs = [_appender_process(root, f"p{n}", count, unit, times) for n in range(2)]
    start = threading.Barrier(4)

    def append_many(worker):
        start.wait()
        for i in range(count):
            recorder.log_text("shared.txt", f"{worker}:{i}:{payload}")

    threads = [threading.Thread(target=append_many, args=(f"t{n}",)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(p.wait(timeout=60) == 0 for p in procs)
    lines = read(recorder, "shared.txt").decode().split("\n")
    assert lines.pop() == ""
    assert len(lines) == 6 * count
    seen = {}
    for line in lines:
        worker, index, rest = line.split(":", 2)
        assert rest == payload
        seen.setdefault(worker, []).append(int(index))
    assert seen == {w: list(range(count)) for w in ["t0", "t1", "t2", "t3", "p0", "p1"]}


def _fails(error, call):
    def operation():
        with pytest.raises(error):
            call()
    return operation


@pytest.mark.parametrize(
    "operation, name, content, mode, error",
    [
        ("log_text", "ok.txt", "记录 record", "a", None),
        ("log_text", "ok.txt", "record", "w", None),
        ("log_text", "ok.txt", "记录", "a+", None),  # through the host's open
        ("log_text", "sub/ok.txt", "record", "a", None),  # with the warning
        ("log_text", "..", "record", "a", IsADirectoryError),
        ("log_text", "..", "record", "r+", IsADirectoryError),  # refused by the opener
        ("log_text", "a\x00b", "record", "a", ValueError),
        ("log_text", "ok.txt", "record", "rb", ValueError),
        ("log_text", "ok.txt", "record", "r", OSError),  # fails in write, after opening
        ("log_text", "ok.txt", "x\ud800", "a", UnicodeEncodeError),
        ("log_text", "ok.txt", "x\ud800", "a+", UnicodeEncodeError),
        ("gone", "ok.txt", "record", "a", FileNotFoundError),
        ("gone", "ok.txt", "record", "a+", FileNotFoundError),
        ("get_file_path", "ok.txt", None, None, None),
        ("get_file_path", "sub/a\x00b", None, None, None),
    ],
)
def test_calls_leak_nothing(recorder, capsys, operation, name, content, mode, error):
    # Fresh objects: literals and one-character strings can be immortal, and
    # their counts would never move.
    name, content, mode = (None if s is None else s.encode("utf-8", "surrogatepass")
                           .decode("utf-8", "surrogatepass") for s in (name, content, mode))
    recorder.log_text("ok.txt", "existing")
    if operation == "get_file_path":
        call, args = recorder.get_file_path, (name,)
    else:
        rec = recorder
        if operation == "gone":
            rec = DataRecorder("gone")
            os.rmdir(rec.base_dir)
        call, args = rec.log_text, (name, content, mode)
    op = (lambda: call(*args)) if error is None else _fails(error, lambda: call(*args))
    assert_no_leaks(op, recorder, *args)
