"""Behaviour every extension module shares: loading rules and function objects."""

import inspect
import os
import pydoc
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from conftest import run_python

import velk_dev_kit
from velk_dev_kit import DataRecorder


def python_output(code):
    # Only the package: none of these children has the ROS 2 stand-in.
    result = run_python(textwrap.dedent(code), stub=False)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_second_initialisation_is_refused():
    out = python_output(
        """
        import importlib, sys
        import velk_dev_kit.recorder
        del sys.modules["velk_dev_kit.recorder"]
        try:
            importlib.import_module("velk_dev_kit.recorder")
        except RuntimeError as e:
            print(e)
        """
    )
    assert out == (
        "Module 'recorder' has already been imported. Re-initialisation is not supported.\n"
    )


def test_second_interpreter_is_refused():
    out = python_output(
        """
        import velk_dev_kit.recorder
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        # A shared-GIL interpreter: an isolated one refuses the module before it runs.
        interp = interpreters.create("legacy")
        err = interpreters.exec(interp, "import velk_dev_kit.recorder")
        print(err.type.__name__, err.msg, sep=": ")
        """
    )
    assert out == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.\n"
    )


def test_loading_a_module_turns_the_gil_on():
    out = python_output(
        """
        import sys, warnings
        warnings.simplefilter("ignore")
        before = sys._is_gil_enabled()
        import velk_dev_kit.recorder
        print(before, sys._is_gil_enabled())
        """
    )
    free_threaded = not sys._is_gil_enabled() or "free-threading" in sys.version
    assert out.split() == (["False", "True"] if free_threaded else ["True", "True"])


# The ways the README gives to silence the warning, and no silencing at all.
GIL_FILTER = ("warnings.filterwarnings(\"ignore\", r\"The global interpreter lock \\(GIL\\) "
              "has been enabled to load module 'velk_dev_kit\\.\", RuntimeWarning)")
GIL_OPTION = "ignore:The global interpreter lock (GIL) has been enabled to load module 'velk_dev_kit.:RuntimeWarning"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded interpreter warns")
@pytest.mark.parametrize("options, env, code, warns", [
    ([], {}, "", True),
    ([], {}, f"import warnings; {GIL_FILTER}", False),
    (["-W", GIL_OPTION], {}, "", False),
    ([], {"PYTHONWARNINGS": GIL_OPTION}, "", False),
    (["-W", "ignore:something else:RuntimeWarning"], {}, "", True),
])
def test_gil_warning_can_be_silenced(options, env, code, warns):
    result = run_python(f"{code}\nfrom velk_dev_kit import Chat, DataRecorder", options=options,
                        env={**os.environ, "PYTHONWARNINGS": "", **env}, stub=False)
    assert result.returncode == 0, result.stderr
    # Once, for the first module loaded: the GIL then stays on.
    warning = ("RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module "
               "'velk_dev_kit.chat', which has not declared that it can run safely without the GIL.")
    assert (warning in result.stderr, result.stderr.count("Warning")) == (
        (True, 1) if warns else (False, 0)), result.stderr


def test_package_loads_modules_only_on_first_use():
    out = python_output(
        """
        import sys
        sys.modules["rclpy"] = None  # no ROS 2 installed
        import velk_dev_kit
        assert "velk_dev_kit.recorder" not in sys.modules
        from velk_dev_kit import DataRecorder
        print(DataRecorder.__module__, "velk_dev_kit.topic_relay" in sys.modules)
        """
    )
    assert out == "velk_dev_kit.recorder False\n"


def test_package_names():
    assert {"SyncRoute", "SimpleTopicRelay", "PanelLink", "Chat", "ChatError",
            "DataRecorder"} <= set(dir(velk_dev_kit))
    assert sorted(velk_dev_kit.__all__) == sorted(velk_dev_kit._HOMES)  # both written out
    with pytest.raises(AttributeError, match="no attribute 'Nope'"):
        velk_dev_kit.Nope


def test_signature_and_annotations_are_texts():
    sig = inspect.signature(DataRecorder.log_text)
    assert str(sig) == "(self, filename: 'str', content: 'str', mode: 'str' = 'a') -> 'None'"
    assert DataRecorder.log_text.__annotations__ == {
        "filename": "str", "content": "str", "mode": "str", "return": "None"}
    assert DataRecorder.log_text.__defaults__ == ("a",)
    assert str(inspect.signature(DataRecorder)) == "(base_dir: 'str' = 'data_logs')"
    assert DataRecorder.log_text.__qualname__ == "DataRecorder.log_text"
    assert DataRecorder.log_text.__module__ == "velk_dev_kit.recorder"


def test_methods_bind_like_python_functions(tmp_path, monkeypatch):
    monkeypatch.setenv("KELM_SIM_LOG_PATH", str(tmp_path))
    rec = DataRecorder()
    bound = rec.get_file_path
    assert inspect.ismethod(bound) and bound.__self__ is rec
    assert str(inspect.signature(bound)) == "(filename: 'str') -> 'str'"
    assert DataRecorder.get_file_path(rec, "f") == bound("f") == str(tmp_path / "data_logs/f")
    assert inspect.signature(bound).bind("x")


def test_help_shows_signatures_and_documentation():
    text = pydoc.render_doc(DataRecorder, renderer=pydoc.plaintext)
    # 3.14's pydoc shows string annotations without their quotes.
    assert "log_text(self, filename: 'str', content: 'str', mode: 'str' = 'a') -> 'None'" in (
        text.replace(": str", ": 'str'").replace("-> None", "-> 'None'"))
    assert "记录文本数据到文件" in text
    assert "一个将文本数据记录到/tmp目录下文件的工具库。" in text


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "DataRecorder.log_text() missing 2 required positional arguments: "
                 "'filename' and 'content'"),
        (("f", "c", "a", "x"), {}, "DataRecorder.log_text() takes from 3 to 4 positional "
                                   "arguments but 5 were given"),
        (("f", "c"), {"filename": "g"}, "DataRecorder.log_text() got multiple values for "
                                        "argument 'filename'"),
        (("f", "c"), {"encoding": "x"}, "DataRecorder.log_text() got an unexpected keyword "
                                        "argument 'encoding'"),
    ],
)
def test_call_errors_read_like_the_interpreters(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.setenv("KELM_SIM_LOG_PATH", str(tmp_path))
    with pytest.raises(TypeError) as info:
        DataRecorder().log_text(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_arguments_in_any_order(tmp_path, monkeypatch):
    monkeypatch.setenv("KELM_SIM_LOG_PATH", str(tmp_path))
    rec = DataRecorder(base_dir="kw")
    rec.log_text(mode="w", content="c", filename="k.txt")
    assert (tmp_path / "kw" / "k.txt").read_text() == "c\n"


def test_stream_parsers(tmp_path):
    """The core's line splitter and chunked decoder, built on their own (they
    use no Python) with the sanitizers, and run."""
    compiler = shutil.which(os.environ.get("CXX", "g++"))
    if compiler is None:
        pytest.skip("no C++ compiler")
    root = Path(__file__).resolve().parent.parent
    program = tmp_path / "stream_parsers"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and "SAN_" not in k}
    build = subprocess.run(
        [compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
         "-fsanitize=address,undefined", "-fno-sanitize-recover=all", f"-I{root / 'core'}",
         str(root / "tests" / "cpp" / "stream_parsers.cpp"), "-o", str(program)],
        capture_output=True, text=True, env=env, timeout=240)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
