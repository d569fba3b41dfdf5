"""The closing table of the benchmarks: one row per comparison.

Each benchmark calls `row` for every figure it compares and `flush` at its
end. Under `make bench` (VELK_BENCH_ROWS names a file) the rows are appended
to that file as JSON lines, and `python bench/_table.py ROWS [OUT.md]` prints
them all as one table and writes it to OUT.md, so that two runs can be set
side by side. Run alone, a benchmark prints its own rows as a table.

A ratio always says how many times better the extension is: the yardstick's
figure over the extension's for a cost (CPU time, instructions), the
extension's over the yardstick's for a rate.
"""

import json
import os
import platform
import subprocess
import sys
import time

ROWS_ENV = "VELK_BENCH_ROWS"
COLUMNS = ("benchmark", "measure", "extension", "yardstick", "yardstick's figure", "ratio",
           "target", "verdict")

_rows = []


def figure(value, unit):
    """A figure as the table shows it: three significant digits, thousands separated."""
    if value is None:
        return "-"
    text = f"{value:,.0f}" if abs(value) >= 100 else f"{value:.3g}"
    return f"{text} {unit}".rstrip()


def verdict_of(ratio, target):
    if target is None:
        return "for information"
    return "ok" if ratio >= target else "MISSED"


def row(benchmark, measure, unit, extension, yardstick, value, *, lower_is_better, target=None,
        ratio=None, verdict=None):
    """Records one comparison: the extension's figure against one yardstick's.

    ratio overrides the one of the two figures (the median of paired rounds,
    say), verdict the plain ratio-against-target one (a benchmark with a
    noise rule of its own); the ratio is returned."""
    if ratio is None:
        ratio = value / extension if lower_is_better else extension / value
    _rows.append({
        "benchmark": benchmark, "measure": measure, "extension": figure(extension, unit),
        "yardstick": yardstick, "yardstick's figure": figure(value, unit),
        "ratio": f"{ratio:.2f}x", "target": "-" if target is None else f">= {target:g}x",
        "verdict": verdict or verdict_of(ratio, target),
    })
    return ratio


def note(benchmark, measure, text, verdict="for information"):
    """A row without a ratio: a count against its target, or why a column is missing."""
    _rows.append({"benchmark": benchmark, "measure": measure, "extension": text,
                  "yardstick": "-", "yardstick's figure": "-", "ratio": "-", "target": "-",
                  "verdict": verdict})


def missed(rows=None):
    return any(r["verdict"] == "MISSED" for r in (_rows if rows is None else rows))


def flush():
    """Hands this benchmark's rows on: to the file of the whole run, or to the terminal."""
    path = os.environ.get(ROWS_ENV)
    if path:
        with open(path, "a", encoding="utf-8") as f:
            for r in _rows:
                f.write(json.dumps(r, ensure_ascii=False) + "\n")
    else:
        print()
        print(render(_rows))
    _rows.clear()


def render(rows):
    cells = [COLUMNS] + [tuple(r[c] for c in COLUMNS) for r in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(COLUMNS))]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(line, widths)) + " |" for line in cells]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def _run_facts():
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=os.path.dirname(__file__)).stdout.strip()
    except OSError:
        commit = ""
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"{time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}; commit {commit or '?'}; "
            f"{platform.machine()}, {os.cpu_count()} CPUs; load average {load} (1/5/15 min)")


def main(argv):
    if not argv or len(argv) > 2:
        print("usage: python bench/_table.py ROWS.jsonl [OUT.md]", file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as f:
        rows = [json.loads(line) for line in f if line.strip()]
    text = f"{_run_facts()}\n\n{render(rows)}\n"
    print(text, end="")
    if len(argv) == 2:
        os.makedirs(os.path.dirname(os.path.abspath(argv[1])), exist_ok=True)
        with open(argv[1], "w", encoding="utf-8") as f:
            f.write("# make bench\n\n" + text)
    return 1 if missed(rows) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
