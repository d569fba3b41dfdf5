import errno
import os
import subprocess
import sys
import threading

import pytest

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


def test_base_dir_that_is_a_file_raises(root):
    (root / "occupied").write_text("")
    with pytest.raises(FileExistsError):
        DataRecorder("occupied")


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
    [("", b"\n"), ("line\n", b"line\n\n"), ("héllo 世界 🚀", "héllo 世界 🚀\n".encode())],
)
def test_record_bytes_are_utf8_with_one_line_feed(recorder, content, stored):
    recorder.log_text("r.txt", content)
    assert read(recorder, "r.txt") == stored


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


@pytest.mark.parametrize("mode", ["a", "w"])
def test_unencodable_record_leaves_the_file_untouched(recorder, mode):
    recorder.log_text("u.txt", "before")
    with pytest.raises(UnicodeEncodeError):
        recorder.log_text("u.txt", "bad \ud800", mode)
    assert read(recorder, "u.txt") == b"before\n"


@pytest.mark.parametrize("mode", ["a", "w"])
def test_symlink_at_the_file_name_is_not_followed(recorder, tmp_path, mode):
    target = tmp_path / "victim"
    target.write_text("precious\n")
    os.symlink(target, recorder.get_file_path("link.txt"))
    with pytest.raises(OSError) as info:
        recorder.log_text("link.txt", "attack", mode)
    assert info.value.errno == errno.ELOOP
    assert target.read_text() == "precious\n"


@pytest.mark.parametrize(
    "call, name, got",
    [
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
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    assert os.listdir(recorder.base_dir) == []
    assert capsys.readouterr().out == ""


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


def _append_many(worker, count, size):
    rec = DataRecorder()
    for i in range(count):
        rec.log_text("shared.txt", f"{worker}:{i}:" + "x" * size)


def _appender_process(root, worker, count, size):
    code = (
        "from velk_dev_kit import DataRecorder\n"
        "rec = DataRecorder()\n"
        f"for i in range({count}):\n"
        f"    rec.log_text('shared.txt', f'{worker}:{{i}}:' + 'x' * {size})\n"
    )
    env = dict(os.environ, KELM_SIM_LOG_PATH=str(root))
    # -P: the source tree must not shadow the installed package.
    return subprocess.Popen([sys.executable, "-P", "-c", code], env=env)


@pytest.mark.parametrize("size", [10, 200_000])
def test_concurrent_records_never_interleave(recorder, root, size):
    procs = [_appender_process(root, f"p{n}", 20, size) for n in range(2)]
    threads = [
        threading.Thread(target=_append_many, args=(f"t{n}", 20, size))
        for n in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(p.wait(timeout=60) == 0 for p in procs)
    lines = read(recorder, "shared.txt").decode().split("\n")
    assert lines.pop() == ""
    assert len(lines) == 6 * 20
    for line in lines:
        worker, index, payload = line.split(":")
        assert payload == "x" * size
    for worker in ["t0", "t1", "t2", "t3", "p0", "p1"]:
        mine = [int(l.split(":")[1]) for l in lines if l.startswith(worker + ":")]
        assert mine == list(range(20))
