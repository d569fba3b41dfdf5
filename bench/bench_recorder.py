"""log_text throughput against plain Python and against raw os calls.

Appends 100-byte records to one file and prints, from one run: records per
second, and the speed ratio against the class written in plain Python
(PyDataRecorder, also the yardstick for the module's size) and against an os.open/os.write/os.close loop with the same flags, for
ASCII records and for Chinese ones (which must be encoded on every call).
Rounds of the three contenders are interleaved so they see the same machine.
The targets are judged on records per second of the process's CPU time
(system time included: the calls are mostly the kernel's), which the
machine's load moves far less than the wall-clock rate, printed beside it.
"""

import os
import statistics
import sys
import tempfile
import time

from velk_dev_kit import DataRecorder

import _table

RECORDS = 20_000
ROUNDS = 7
# Plus the line feed: 100 bytes a record.
CONTENTS = {"ASCII": "x" * 99, "Chinese": "记录数据" * 8 + "xxx"}
TARGETS = {"plain Python": 10.0, "os loop": 1 / 1.25}


class PyDataRecorder:
    """The recorder as plain Python: what DataRecorder does, step for step."""

    def __init__(self, base_dir: str = "data_logs"):
        root = os.getenv("KELM_SIM_LOG_PATH", "/tmp")
        self.base_dir = os.path.abspath(os.path.join(root, base_dir))
        self._ensure_directory_exists()

    def _ensure_directory_exists(self):
        os.makedirs(self.base_dir, exist_ok=True)

    def _sanitize_filename(self, filename: str) -> str:
        sanitized = os.path.basename(filename)
        if sanitized != filename:
            print(f"警告：文件名 '{filename}' 中包含目录路径，已自动修正为 '{sanitized}'")
        return sanitized

    def _get_full_path(self, filename: str) -> str:
        return os.path.join(self.base_dir, self._sanitize_filename(filename))

    def get_file_path(self, filename: str) -> str:
        return self._get_full_path(filename)

    def log_text(self, filename: str, content: str, mode: str = "a") -> None:
        full_path = self._get_full_path(filename)
        with open(full_path, mode, encoding="utf-8") as f:
            f.write(content + "\n")


def os_loop(base_dir):
    flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC | os.O_NOFOLLOW

    def log_text(filename, content, mode="a"):
        fd = os.open(os.path.join(base_dir, filename), flags, 0o666)
        try:
            os.write(fd, (content + "\n").encode())
        finally:
            os.close(fd)

    return log_text


def timed(log_text, name, content):
    """Records per second of wall-clock time and of this process's CPU time
    (the kernel's share of the calls included)."""
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(RECORDS):
        log_text(name, content)
    return RECORDS / (time.perf_counter() - wall), RECORDS / (time.process_time() - cpu)


def main():
    print(f"python {sys.version.split()[0]}, {RECORDS} records x {ROUNDS} rounds (medians)")
    ok = True
    with tempfile.TemporaryDirectory() as root:
        os.environ["KELM_SIM_LOG_PATH"] = root
        recorder = DataRecorder("bench")
        contenders = {
            "log_text": recorder.log_text,
            "plain Python": PyDataRecorder("bench").log_text,
            "os loop": os_loop(recorder.base_dir),
        }
        for label, content in CONTENTS.items():
            assert len((content + "\n").encode()) == 100
            rates = {name: [] for name in contenders}
            cpu_rates = {name: [] for name in contenders}
            for round_ in range(ROUNDS):
                for name, fn in contenders.items():
                    file = f"{name.replace(' ', '_')}.log"
                    wall, cpu = timed(fn, file, content)
                    rates[name].append(wall)
                    cpu_rates[name].append(cpu)
                    os.unlink(os.path.join(recorder.base_dir, file))
            ours = statistics.median(cpu_rates["log_text"])
            print(f"{label} records: log_text {ours:,.0f} records per CPU second, "
                  f"{statistics.median(rates['log_text']):,.0f} records/s")
            for name, target in TARGETS.items():
                theirs = statistics.median(cpu_rates[name])
                ratio = _table.row("recorder", f"{label} records per CPU second",
                                   "records/CPU s", ours, name, theirs, lower_is_better=False,
                                   target=target)
                met = ratio >= target
                ok &= met
                wall = statistics.median(rates["log_text"]) / statistics.median(rates[name])
                _table.row("recorder", f"{label} records per second", "records/s",
                           statistics.median(rates["log_text"]), name,
                           statistics.median(rates[name]), lower_is_better=False)
                print(f"  vs {name}: {ratio:.2f}x in CPU time (target >= {target:.2f}x) "
                      f"{'ok' if met else 'MISSED'}; {wall:.2f}x in wall-clock time")
    _table.flush()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
