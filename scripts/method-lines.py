#!/usr/bin/env python3
"""Lines of a module's Python-visible methods against their plain-Python form.

    method-lines.py src/velk_dev_kit/topic_relay.cpp [more .cpp files]

C++ side: every function of the file that a `method<name>(...)` declaration
makes Python-visible (the methods and callbacks that Python calls), counted in code lines (no blank lines, no
comment-only lines); a second total adds the file's own functions they reach,
and a third is every code line of the file, its tables and texts included. Python side: the methods
of the classes named Py* in bench/bench_<module>.py, counted the same way,
without their documentation strings (the C++ keeps those in its tables).
"""

import ast
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SIGNATURE = re.compile(r"^(?:\[\[\w+\]\]\s+)?(?:[\w:<>,*&]+\s+)+[*&]?(\w+)\s*\(([^;{}]*)")


def code_lines(lines):
    return sum(1 for l in lines if l.strip() and not l.strip().startswith("//"))


def cpp_functions(path):
    """name -> lines of each top-level function definition in the file."""
    text = path.read_text().splitlines()
    functions, i = {}, 0
    while i < len(text):
        m = SIGNATURE.match(text[i])
        if m and not text[i].rstrip().endswith(";") and m.group(1) not in ("if", "for", "while"):
            start = i
            while i < len(text) and not text[i].rstrip().endswith("{") and ";" not in text[i]:
                i += 1
            if i < len(text) and text[i].rstrip().endswith("{"):
                if text[i].rstrip().endswith("}"):  # one-line body
                    pass
                j = i
                while j < len(text) and text[j] != "}" and not (j == start and text[j].rstrip().endswith("}")):
                    j += 1
                if start > 0 and text[start - 1].startswith("template"):
                    start -= 1
                functions.setdefault(m.group(1), []).extend(text[start:j + 1])
                i = j
        i += 1
    return functions


def cpp_method_lines(path):
    functions = cpp_functions(path)
    declared = set(re.findall(r"\bmethod<(\w+)>", path.read_text()))
    methods = [n for n in functions if n in declared]
    reached, seen = list(methods), set(methods)
    while reached:
        name = reached.pop()
        for word in set(re.findall(r"\b\w+\b", "\n".join(functions[name][1:]))):
            if word in functions and word not in seen:
                seen.add(word)
                reached.append(word)
    return ({n: code_lines(functions[n]) for n in sorted(methods)},
            {n: code_lines(functions[n]) for n in sorted(seen - set(methods))})


def python_method_lines(path):
    tree = ast.parse(path.read_text())
    source = path.read_text().splitlines()
    counts = {}
    for cls in tree.body:
        if not (isinstance(cls, ast.ClassDef) and cls.name.startswith("Py")):
            continue
        for f in cls.body:
            if not isinstance(f, ast.FunctionDef):
                continue
            lines = source[f.lineno - 1:f.end_lineno]
            doc = f.body[0] if f.body and isinstance(f.body[0], ast.Expr) and isinstance(
                getattr(f.body[0], "value", None), ast.Constant) and isinstance(
                f.body[0].value.value, str) else None
            if doc:
                del lines[doc.lineno - f.lineno:doc.end_lineno - f.lineno + 1]
            counts[f"{cls.name}.{f.name}"] = sum(
                1 for l in lines if l.strip() and not l.strip().startswith("#"))
    return counts


def main(argv):
    for arg in argv:
        path = Path(arg)
        module = path.stem
        cpp, helpers = cpp_method_lines(path)
        bench = path.resolve().parent.parent.parent / "bench" / f"bench_{module}.py"
        py = python_method_lines(bench) if bench.exists() else {}
        total_cpp, total_py = sum(cpp.values()), sum(py.values())
        total_helpers = sum(helpers.values())
        print(f"== {module}")
        print("  C++ methods: " + ", ".join(f"{n} {c}" for n, c in cpp.items()))
        print("  C++ helpers they reach: " + ", ".join(f"{n} {c}" for n, c in helpers.items()))
        print("  Python: " + ", ".join(f"{n} {c}" for n, c in py.items()))
        whole = code_lines(path.read_text().splitlines())
        if total_py:
            print(f"  methods {total_cpp} / Python {total_py} = {total_cpp / total_py:.2f}x; "
                  f"with helpers {total_cpp + total_helpers} = "
                  f"{(total_cpp + total_helpers) / total_py:.2f}x; "
                  f"whole file (tables and texts too) {whole} = {whole / total_py:.2f}x")
        else:
            print(f"  methods {total_cpp}, with helpers {total_cpp + total_helpers}; "
                  f"no Py* class in {bench.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
