"""The shipped stubs against the built modules, and mypy on typed programs using them."""

import ast
import dataclasses
import os
import re
from pathlib import Path

import pytest
from conftest import STUB, run_python

import velk_dev_kit
from velk_dev_kit import Chat, ChatError, DataRecorder, PanelLink, SimpleTopicRelay, SyncRoute

PROGRAMS = Path(__file__).resolve().parent / "typing"
INSTALLED = Path(velk_dev_kit.__file__).resolve().parent


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy (or one of its tools) on the installed package, the stand-in on its path."""
    env = dict(os.environ, MYPYPATH=STUB, MYPY_CACHE_DIR=str(tmp_path_factory.mktemp("mypy-cache")))
    env.pop("MYPY_CONFIG_FILE_DIR", None)

    def run(*args, tool="mypy"):
        return run_python(
            None, "-m", tool, "--config-file" if tool == "mypy" else "--mypy-config-file",
            str(PROGRAMS / "mypy.ini"), *args, env=env, cwd=PROGRAMS, timeout=600)
    return run


def test_stubs_match_the_built_modules(mypy):
    result = mypy("velk_dev_kit", "--allowlist", str(PROGRAMS / "stubtest-allowlist.txt"),
                  tool="mypy.stubtest")
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"Success: no issues found in \d+ modules", result.stdout), result.stdout


def test_typed_program_passes(mypy):
    result = mypy("good.py")
    assert (result.returncode, result.stdout) == (
        0, "Success: no issues found in 1 source file\n"), result.stdout + result.stderr


@pytest.fixture(scope="module")
def bad_program(mypy):
    result = mypy("bad.py")
    lines = (PROGRAMS / "bad.py").read_text(encoding="utf-8").splitlines()
    marks = {m.group(1): n for n, text in enumerate(lines, 1)
             if (m := re.search(r"# mistake: (\S+)$", text))}
    return result, marks


# Each marked line of bad.py and the one error mypy must print for it.
BAD_PROGRAM_ERRORS = [
    ("misspelt-name", 'Module "velk_dev_kit" has no attribute "Recorder"; maybe "DataRecorder"?  [attr-defined]'),
    ("relay-takes-no-name", 'Too many arguments for "SimpleTopicRelay"  [call-arg]'),
    ("frequency-text", 'Argument "frequency" to "SyncRoute" has incompatible type "str"; expected "float"  [arg-type]'),
    ("tuple-of-routes", 'Argument 1 to "batch_register" of "SimpleTopicRelay" has incompatible type "tuple[SyncRoute]"; expected "list[SyncRoute]"  [arg-type]'),
    ("route-id-may-be-none", 'Incompatible types in assignment (expression has type "str | None", variable has type "str")  [assignment]'),
    ("non-str-control-id", 'Argument 1 to "send" of "PanelLink" has incompatible type "int"; expected "str"  [arg-type]'),
    ("timeout-text", 'Argument "timeout" to "send" of "PanelLink" has incompatible type "str"; expected "float"  [arg-type]'),
    ("latest-is-a-dict", 'Incompatible types in assignment (expression has type "dict[str, Any]", variable has type "list[Any]")  [assignment]'),
    ("iterating-plain-answer", 'No overload variant of "next" matches argument type "str"  [call-overload]'),
    ("plain-answer-as-iterator", 'Incompatible types in assignment (expression has type "str", variable has type "Iterator[str]")  [assignment]'),
    ("streamed-answer-as-str", 'Incompatible types in assignment (expression has type "Iterator[str]", variable has type "str")  [assignment]'),
    ("either-needs-narrowing", 'Item "Iterator[str]" of "str | Iterator[str]" has no attribute "upper"  [union-attr]'),
    ("status-may-be-none", 'Incompatible types in assignment (expression has type "int | None", variable has type "int")  [assignment]'),
    ("timeout-none", 'Argument "timeout" to "Chat" has incompatible type "None"; expected "int"  [arg-type]'),
    ("base-dir-none", 'Argument "base_dir" to "DataRecorder" has incompatible type "None"; expected "str"  [arg-type]'),
    ("number-as-file-name", 'Argument 1 to "log_text" of "DataRecorder" has incompatible type "int"; expected "str"  [arg-type]'),
    ("bytes-content", 'Argument 2 to "log_text" of "DataRecorder" has incompatible type "bytes"; expected "str"  [arg-type]'),
    ("path-is-str", 'Incompatible types in assignment (expression has type "str", variable has type "bytes")  [assignment]'),
]


@pytest.mark.parametrize("mark, message", BAD_PROGRAM_ERRORS + [
    # and nothing else: every mistake is marked, and mypy counts only those
    (None, f"Found {len(BAD_PROGRAM_ERRORS)} errors in 1 file (checked 1 source file)")],
    ids=[m for m, _ in BAD_PROGRAM_ERRORS] + ["nothing-else"])
def test_typed_program_with_mistakes_is_rejected(bad_program, mark, message):
    result, marks = bad_program
    assert result.returncode == 1, result.stdout + result.stderr
    printed = result.stdout.splitlines()
    if mark is None:
        assert sorted(marks) == sorted(m for m, _ in BAD_PROGRAM_ERRORS)
        assert printed[-1] == message, result.stdout
    else:
        assert f"bad.py:{marks[mark]}: error: {message}" in printed, result.stdout


REQUIRED = object()


def stub_attributes(module, cls):
    """The attributes a stub class declares, in order: name -> default or REQUIRED."""
    tree = ast.parse((INSTALLED / f"{module}.pyi").read_text(encoding="utf-8"))
    body = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls).body
    return {n.target.id: ast.literal_eval(n.value) if n.value else REQUIRED
            for n in body if isinstance(n, ast.AnnAssign)}


def public(obj, *minus):
    names = {n for n in vars(obj) if not n.startswith("_")}
    for other in minus:
        names -= set(vars(other))
    return names


def make_relay(request):
    from rclpy.node import Node
    request.getfixturevalue("ros_context")
    relay = SimpleTopicRelay()
    return public(relay, Node("plain"))


def make_link(request):
    from rclpy.node import Node
    request.getfixturevalue("ros_context")
    request.getfixturevalue("monkeypatch").setenv(
        "VELK_REMOTE_WS_URL", "ws://127.0.0.1:1/?panel={remote_id}")
    link = PanelLink("typing", lambda data: None)
    try:
        return public(link, Node("plain"))
    finally:
        link.destroy_node()


# What stubtest cannot see: attributes set on instances.
@pytest.mark.parametrize("module, cls, instance_attributes", [
    ("recorder", "DataRecorder", lambda r: public(DataRecorder(str(r.getfixturevalue("tmp_path"))))),
    ("chat", "ChatError", lambda r: public(ChatError("m", "c", 400))),
    ("chat", "Chat", lambda r: public(Chat())),
    ("topic_relay", "SimpleTopicRelay", make_relay),
    ("panel_link", "PanelLink", make_link),
])
def test_stub_declares_the_instance_attributes(request, module, cls, instance_attributes):
    assert set(stub_attributes(module, cls)) == instance_attributes(request)


def test_stub_route_fields_and_defaults_match_the_dataclass():
    runtime = {f.name: REQUIRED if f.default is dataclasses.MISSING else f.default
               for f in dataclasses.fields(SyncRoute)}
    stub = stub_attributes("topic_relay", "SyncRoute")
    assert list(stub.items()) == list(runtime.items())
