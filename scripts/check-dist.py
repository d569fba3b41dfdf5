"""Checks built archives before they are handed out: check-dist.py FILE...

For each wheel (.whl) and source archive (.tar.gz): the core metadata parses
and validates as an index would require, every classifier is a known one, the
long description is Markdown without relative links or images (they break on
an index page), the licence is declared and its text shipped, and the archive
holds what it must and nothing it must not. For each wheel also: `auditwheel
show` finds it consistent with exactly the manylinux tag its file name gives
first (a wheel needing a newer C library than its tag claims fails), and its
compiled modules are for the tag's machine and need no shared library but the
C library's own (the C++ runtime is inside them).
Exits 1 after reporting every problem found.
"""

import io
import re
import subprocess
import sys
import tarfile
import zipfile
from fnmatch import fnmatch
from pathlib import Path, PurePosixPath

from elftools.elf.elffile import ELFFile
from packaging.metadata import Metadata
from packaging.utils import parse_wheel_filename
from trove_classifiers import classifiers as KNOWN_CLASSIFIERS

ROOT = Path(__file__).resolve().parent.parent
MODULES = sorted(p.stem for p in (ROOT / "src" / "velk_dev_kit").glob("*.cpp"))

# (pattern, what) pairs; every pattern must match at least one member.
WHEEL_NEEDS = [("velk_dev_kit/__init__.py", "package initialiser"),
               ("velk_dev_kit/py.typed", "typing marker"),
               ("velk_dev_kit-*.dist-info/licenses/LICENSE", "licence text")]
WHEEL_NEEDS += [(f"velk_dev_kit/{m}.*.so", f"compiled module {m}") for m in MODULES]
WHEEL_NEEDS += [(f"velk_dev_kit/{m}.pyi", f"stub of {m}") for m in MODULES]
WHEEL_REFUSES = ["*.cpp", "*.hpp", "ros_stub/*", "tests/*", "*/__pycache__/*"]

SDIST_NEEDS = [("pyproject.toml", "build configuration"), ("CMakeLists.txt", "CMake project"),
               ("LICENSE", "licence text"),
               ("DESCRIPTION.md", "long description"), ("core/velk/*.hpp", "core headers"),
               ("src/velk_dev_kit/py.typed", "typing marker")]
SDIST_NEEDS += [(f"src/velk_dev_kit/{m}.cpp", f"source of {m}") for m in MODULES]
SDIST_NEEDS += [(f"src/velk_dev_kit/{m}.pyi", f"stub of {m}") for m in MODULES]
SDIST_REFUSES = ["dist/*", "build/*", ".venv/*", "*.so", "*/__pycache__/*", ".pytest_cache/*",
                 ".mypy_cache/*", ".ci/*", "scripts/*", "Makefile", "bench/*", "docs/*"]
LICENSE = "Apache-2.0"

# What a module may need at run time: the C library, its maths part and the loader.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# The tags from before PEP 600 and the C library each stands for.
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
MANYLINUX = re.compile(r"(manylinux_(\d+)_(\d+)|manylinux1|manylinux2010|manylinux2014)_(\w+)")

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
    if str(meta.license_expression) != LICENSE:
        problems.append(f"metadata: licence {meta.license_expression!r}, not {LICENSE!r}")
    if "LICENSE" not in (meta.license_files or []):
        problems.append("metadata: LICENSE is not named as a licence file")
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


def glibc_of(platform):
    """(C library version, machine) of a manylinux platform tag; None for any other."""
    m = MANYLINUX.fullmatch(platform)
    if not m:
        return None
    version = (int(m[2]), int(m[3])) if m[2] else LEGACY_TAGS[m[1]]
    return version, m[4]


def check_platform(path, notes):
    """The wheel's file name against auditwheel's verdict and its modules' ELF headers."""
    platforms = {tag.platform for tag in parse_wheel_filename(path.name)[3]}
    tags = {p: glibc_of(p) for p in platforms}
    problems = [f"platform tag {p} is not a manylinux tag" for p, g in tags.items() if g is None]
    if problems:
        return problems
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(path)],
                           capture_output=True, text=True)
    verdict = re.search(r'consistent with the following platform tag:\s*"([^"]+)"',
                        " ".join(shown.stdout.split()))
    if shown.returncode or not verdict:
        return [f"auditwheel show failed: {(shown.stderr or shown.stdout).strip()[-500:]}"]
    allowed = glibc_of(verdict[1])
    lowest = min(tags, key=tags.get)
    notes.append(f"auditwheel show: consistent with {verdict[1]}; "
                 f"file name: {'.'.join(sorted(platforms))}")
    if allowed is None or tags[lowest] != allowed:
        problems.append(f"the file name's tag {lowest} disagrees with auditwheel's {verdict[1]}"
                        + (": the wheel needs a newer C library than its tag says"
                           if allowed and tags[lowest] < allowed else ""))
    machine = tags[lowest][1]
    with zipfile.ZipFile(path) as z:
        for name in (n for n in z.namelist() if n.endswith(".so")):
            elf = ELFFile(io.BytesIO(z.read(name)))
            if elf["e_machine"] != MACHINES.get(machine):
                problems.append(f"{name}: built for {elf['e_machine']}, the tag says {machine}")
            dynamic = elf.get_section_by_name(".dynamic")
            needed = {t.needed for t in dynamic.iter_tags("DT_NEEDED")} if dynamic else set()
            problems += [f"{name}: needs {lib}, which is not part of the C library"
                         for lib in sorted(needed - SYSTEM_LIBRARIES)]
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
        notes = []
        if path.suffix == ".whl":
            problems += check_platform(path, notes)
        failed |= bool(problems)
        print(f"{path.name}: {len(names)} files, " + ("FAILED" if problems else "ok"))
        for note in notes:
            print(f"    {note}")
        for problem in problems:
            print(f"    {problem}")
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
