"""Checks built archives before they are handed out: check-dist.py FILE...

For each wheel (.whl) and source archive (.tar.gz): the core metadata parses
and validates as an index would require, every classifier is a known one, the
long description is Markdown without relative links or images (they break on
an index page), and the archive holds what it must and nothing it must not.
Exits 1 after reporting every problem found.
"""

import re
import sys
import tarfile
import zipfile
from fnmatch import fnmatch
from pathlib import Path, PurePosixPath

from packaging.metadata import Metadata
from trove_classifiers import classifiers as KNOWN_CLASSIFIERS

ROOT = Path(__file__).resolve().parent.parent
MODULES = sorted(p.stem for p in (ROOT / "src" / "velk_dev_kit").glob("*.cpp"))

# (pattern, what) pairs; every pattern must match at least one member.
WHEEL_NEEDS = [("velk_dev_kit/__init__.py", "package initialiser"),
               ("velk_dev_kit/py.typed", "typing marker")]
WHEEL_NEEDS += [(f"velk_dev_kit/{m}.*.so", f"compiled module {m}") for m in MODULES]
WHEEL_NEEDS += [(f"velk_dev_kit/{m}.pyi", f"stub of {m}") for m in MODULES]
WHEEL_REFUSES = ["*.cpp", "*.hpp", "ros_stub/*", "tests/*", "*/__pycache__/*"]

SDIST_NEEDS = [("pyproject.toml", "build configuration"), ("CMakeLists.txt", "CMake project"),
               ("DESCRIPTION.md", "long description"), ("core/velk/*.hpp", "core headers"),
               ("src/velk_dev_kit/py.typed", "typing marker")]
SDIST_NEEDS += [(f"src/velk_dev_kit/{m}.cpp", f"source of {m}") for m in MODULES]
SDIST_NEEDS += [(f"src/velk_dev_kit/{m}.pyi", f"stub of {m}") for m in MODULES]
SDIST_REFUSES = ["dist/*", "build/*", ".venv/*", "*.so", "*/__pycache__/*", ".pytest_cache/*",
                 ".mypy_cache/*"]

# A Markdown link or image whose target is not an absolute web address.
RELATIVE_LINK = re.compile(r"!?\[[^\]]*\]\((?!https?://)([^)\s]*)")


def members(path):
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as z:
            names = z.namelist()
            meta = next(n for n in names if re.fullmatch(r"[^/]+\.dist-info/METADATA", n))
            return names, z.read(meta).decode("utf-8")
    with tarfile.open(path) as t:
        # Members sit below one "<name>-<version>/" folder.
        names = [str(PurePosixPath(*PurePosixPath(m.name).parts[1:])) for m in t.getmembers()
                 if m.isfile()]
        top = PurePosixPath(t.getmembers()[0].name).parts[0]
        return names, t.extractfile(f"{top}/PKG-INFO").read().decode("utf-8")


def check_metadata(text):
    problems = []
    try:
        meta = Metadata.from_email(text, validate=True)
    except ExceptionGroup as group:
        return [f"metadata: {e}" for e in group.exceptions]
    for field in ("summary", "description", "requires_python"):
        if not getattr(meta, field):
            problems.append(f"metadata: no {field}")
    if meta.description_content_type != "text/markdown":
        problems.append(f"metadata: long description is {meta.description_content_type!r}, "
                        "not text/markdown")
    problems += [f"metadata: unknown classifier {c!r}" for c in meta.classifiers or []
                 if c not in KNOWN_CLASSIFIERS]
    problems += [f"long description: relative link or image {target!r}"
                 for target in RELATIVE_LINK.findall(meta.description or "")]
    return problems


def check_files(names, needs, refuses):
    problems = [f"missing: {what} ({pattern})" for pattern, what in needs
                if not any(fnmatch(n, pattern) for n in names)]
    problems += [f"must not be shipped: {n}" for n in names
                 if any(fnmatch(n, pattern) for pattern in refuses)]
    return problems


def main(paths):
    failed = False
    for path in map(Path, paths):
        if path.suffix == ".whl":
            needs, refuses = WHEEL_NEEDS, WHEEL_REFUSES
        elif path.name.endswith(".tar.gz"):
            needs, refuses = SDIST_NEEDS, SDIST_REFUSES
        else:
            print(f"{path.name}: not a wheel or source archive")
            failed = True
            continue
        names, metadata = members(path)
        problems = check_metadata(metadata) + check_files(names, needs, refuses)
        failed |= bool(problems)
        print(f"{path.name}: {len(names)} files, " + ("FAILED" if problems else "ok"))
        for problem in problems:
            print(f"    {problem}")
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
