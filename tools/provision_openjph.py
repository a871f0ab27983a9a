#!/usr/bin/env python3
"""Provide OpenJPH (0.31 or newer) for building ferroglyph.

A system installation is used when CMake can find one.  Otherwise, on
Debian-family systems, Debian's ``libopenjph-dev`` and ``libopenjph0.NN``
binary packages (and ``openjph-tools``, whose programs the tests use as an
independent reference) are downloaded from the unstable suite with a private
apt configuration -- the system's apt sources and installed packages are never
touched -- and unpacked into a project-local prefix.  The mirror is the one
the system's own apt configuration uses for its Debian release (or the URI in
``FERROGLYPH_DEBIAN_MIRROR``); only the private configuration names the
unstable suite.

Debian unstable builds against a newer libstdc++ than older systems carry.
The library references the symbol version ``GLIBCXX_3.4.32`` for a single
symbol (``std::ios_base_library_init``) that it never calls (no relocation
binds it); when the system's libstdc++ lacks that version, the requirement is
removed from the private copy (marked weak, should a relocation use it), so
that the dynamic loader accepts the library and the wheel that bundles it is
judged by what it really needs.

Prints the prefix to use as ``CMAKE_PREFIX_PATH`` on its last line (empty
when a system installation is used).  Idempotent: a second run only checks a
stamp file.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

PINNED = "0.32.0-1"
MIN_VERSION = (0, 31)
SUITE = "sid"
MIRROR_ENV = "FERROGLYPH_DEBIAN_MIRROR"
WEAK_VERSION = b"GLIBCXX_3.4.32"
VER_FLG_WEAK = 0x2


def log(msg: str) -> None:
    print(f"[openjph] {msg}", file=sys.stderr, flush=True)


def version_tuple(text: str) -> tuple[int, ...]:
    return tuple(int(x) for x in re.findall(r"\d+", text.split("-")[0])[:3])


# --------------------------------------------------------------------------
# System installation
# --------------------------------------------------------------------------

def system_openjph_version() -> str | None:
    """The version of an OpenJPH CMake package found in the usual places."""
    roots = ["/usr", "/usr/local", "/opt/homebrew", "/opt/local"]
    for extra in ("CONDA_PREFIX", "VCPKG_INSTALLED_DIR"):
        if os.environ.get(extra):
            roots.insert(0, os.environ[extra])
    for root in roots:
        found = []
        for sub in (("lib*",), ("lib*", "*")):
            found += glob.glob(os.path.join(root, *sub, "cmake", "openjph",
                                            "openjph-config-version.cmake"))
        for path in found:
            with open(path, encoding="utf-8", errors="replace") as f:
                m = re.search(r'set\(PACKAGE_VERSION "([^"]+)"\)', f.read())
            if m and version_tuple(m.group(1)) >= MIN_VERSION:
                return m.group(1)
    return None


# --------------------------------------------------------------------------
# ELF: drop (or mark weak) one symbol-version requirement
# --------------------------------------------------------------------------

SHT_RELA = 4
SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6FFFFFFE
SHT_GNU_VERSYM = 0x6FFFFFFF
VER_NDX_GLOBAL = 1


def relax_version(path: str, version: bytes) -> str | None:
    """Relax the requirement of ``version`` that the ELF file ``path`` has.

    When no relocation binds a symbol of that version (the symbol is only
    named, never used), the requirement is removed from ``.gnu.version_r`` and
    those symbols become unversioned: loaders and tools such as auditwheel no
    longer see it.  When a relocation does use one, the requirement is marked
    weak (VER_FLG_WEAK) instead, which the dynamic loader accepts as well.

    Returns "dropped", "weak" (also when it already was) or None when the
    file has no such requirement.  Only 64-bit little-endian ELF is handled.
    """
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise RuntimeError(f"{path}: not a 64-bit little-endian ELF file")
    e_shoff, = struct.unpack_from("<Q", data, 0x28)
    e_shentsize, e_shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = []
    for i in range(e_shnum):
        (_name, sh_type, _flags, _addr, sh_offset, sh_size, sh_link, sh_info,
         _align, _entsize) = struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize)
        sections.append((sh_type, sh_offset, sh_size, sh_link, sh_info))

    def cstr(strtab: int, off: int) -> bytes:
        return bytes(data[strtab + off:data.index(0, strtab + off)])

    # The vernaux entry (its offset, the one before it in its list, its
    # verneed record) that names the version.
    hit = None
    for sh_type, sh_offset, _size, sh_link, sh_info in sections:
        if sh_type != SHT_GNU_VERNEED:
            continue
        strtab = sections[sh_link][1]
        need = sh_offset
        for _ in range(sh_info):
            _ver, vn_cnt, _file, vn_aux, vn_next = struct.unpack_from("<HHIII", data, need)
            aux, prev = need + vn_aux, None
            for _ in range(vn_cnt):
                vna_name, vna_next = struct.unpack_from("<II", data, aux + 8)
                if cstr(strtab, vna_name) == version:
                    hit = (aux, prev, need)
                if not vna_next:
                    break
                aux, prev = aux + vna_next, aux
            if not vn_next:
                break
            need += vn_next
    if hit is None:
        return None
    aux, prev, need = hit
    _hash, flags, index, _name, vna_next = struct.unpack_from("<IHHII", data, aux)

    versym = next((s for s in sections if s[0] == SHT_GNU_VERSYM), None)
    dynsym = next((s for s in sections if s[0] == SHT_DYNSYM), None)
    used = None
    if versym and dynsym:
        count = dynsym[2] // 24
        symbols = {i for i in range(count)
                   if struct.unpack_from("<H", data, versym[1] + 2 * i)[0] & 0x7FFF == index}
        used = False
        for sh_type, sh_offset, sh_size, sh_link, _info in sections:
            if sh_type == SHT_RELA and sections[sh_link][0] == SHT_DYNSYM:
                for r in range(sh_offset, sh_offset + sh_size, 24):
                    if struct.unpack_from("<Q", data, r + 8)[0] >> 32 in symbols:
                        used = True
    vn_cnt, = struct.unpack_from("<H", data, need + 2)
    if used is False and vn_cnt > 1:
        # Unlink the entry from its list and unversion its symbols.
        if prev is None:
            vn_aux, = struct.unpack_from("<I", data, need + 8)
            struct.pack_into("<I", data, need + 8, vn_aux + vna_next)
        else:
            prev_next, = struct.unpack_from("<I", data, prev + 12)
            struct.pack_into("<I", data, prev + 12, prev_next + vna_next if vna_next else 0)
        struct.pack_into("<H", data, need + 2, vn_cnt - 1)
        for i in symbols:
            struct.pack_into("<H", data, versym[1] + 2 * i, VER_NDX_GLOBAL)
        result = "dropped"
    else:
        if flags & VER_FLG_WEAK:
            return "weak"
        struct.pack_into("<H", data, aux + 4, flags | VER_FLG_WEAK)
        result = "weak"
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    shutil.copymode(path, tmp)
    os.replace(tmp, path)
    return result


def system_libstdcxx_has(version: bytes) -> bool:
    """Whether the libstdc++ that programs here load defines ``version``."""
    candidates = []
    for cxx in ("c++", "g++"):
        if shutil.which(cxx):
            out = subprocess.run([cxx, "-print-file-name=libstdc++.so.6"],
                                 capture_output=True, text=True).stdout.strip()
            if os.path.isabs(out):
                candidates.append(out)
    candidates += glob.glob("/usr/lib/*/libstdc++.so.6") + glob.glob("/usr/lib*/libstdc++.so.6")
    for lib in candidates:
        if os.path.exists(lib):
            with open(os.path.realpath(lib), "rb") as f:
                return version + b"\0" in f.read()
    return False


# --------------------------------------------------------------------------
# Debian unstable packages through a private apt configuration
# --------------------------------------------------------------------------

def os_release(path: str = "/etc/os-release") -> dict[str, str]:
    fields: dict[str, str] = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.strip().partition("=")
                if sep and not key.startswith("#"):
                    fields[key] = value.strip().strip("\"'")
    except OSError:
        pass
    return fields


def _deb822_stanzas(text: str) -> list[dict[str, str]]:
    """The stanzas of a deb822 file; continuation lines are joined."""
    stanzas: list[dict[str, str]] = []
    fields: dict[str, str] = {}
    key = None
    for line in text.splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if fields:
                stanzas.append(fields)
            fields, key = {}, None
        elif line[0] in " \t" and key:
            fields[key] += "\n" + line.strip()
        else:
            key, _, value = line.partition(":")
            key = key.strip().lower()
            fields[key] = value.strip()
    return stanzas


def apt_source_entries(etc: str = "/etc/apt") -> list[dict]:
    """Every enabled binary-package entry of the system's apt sources.

    Each entry is ``{"uri", "suite", "signed_by"}``, one per URI and suite, in
    the order apt reads them (``sources.list``, then ``sources.list.d`` by
    name, one-line ``*.list`` and deb822 ``*.sources`` files alike).
    """
    entries: list[dict] = []

    def add(uris: list[str], suites: list[str], signed_by: str | None) -> None:
        for uri in uris:
            for suite in suites:
                entries.append({"uri": uri.rstrip("/"), "suite": suite,
                                "signed_by": signed_by})

    parts = os.path.join(etc, "sources.list.d")
    files = [os.path.join(etc, "sources.list")]
    if os.path.isdir(parts):
        files += [os.path.join(parts, n) for n in sorted(os.listdir(parts))]
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        if path.endswith(".sources"):
            for st in _deb822_stanzas(text):
                if "deb" not in st.get("types", "").split():
                    continue
                if st.get("enabled", "yes").lower() in ("no", "false", "0"):
                    continue
                signed_by = st.get("signed-by") or None
                if signed_by and "\n" in signed_by:
                    # An inline key block cannot go on the private one-line
                    # entry; apt's default keyrings check it then, as for an
                    # entry without Signed-By.
                    signed_by = None
                add(st.get("uris", "").split(), st.get("suites", "").split(), signed_by)
        elif path.endswith(".list") or path == files[0]:
            for line in text.splitlines():
                line = line.split("#", 1)[0].strip()
                m = re.match(r"deb\s+(?:\[([^\]]*)\]\s+)?(\S+)\s+(\S+)", line)
                if not m:
                    continue
                options = dict(o.partition("=")[::2] for o in (m.group(1) or "").split())
                add([m.group(2)], [m.group(3)], options.get("signed-by"))
    return entries


def debian_mirror(entries: list[dict], release: dict[str, str]) -> dict:
    """The entry that serves the system's Debian release.

    On Debian that is an entry for the release's codename (or one of its
    ``-updates``/``-backports`` suites: same archive); elsewhere only an entry
    naming a Debian suite alias (stable, testing, unstable, sid) says that its
    URI is a Debian mirror.  Security archives carry no other suites.
    """
    codename = release.get("VERSION_CODENAME", "") if release.get("ID") == "debian" else ""
    ranked = []
    for e in entries:
        suite, uri = e["suite"], e["uri"]
        if uri.startswith("cdrom:") or suite.endswith("-security") or uri.endswith("-security"):
            continue
        if codename and suite == codename:
            rank = 0
        elif codename and suite.startswith(codename + "-"):
            rank = 1
        elif suite in ("stable", "testing", "unstable", "sid"):
            rank = 2
        else:
            continue
        ranked.append((rank, len(ranked), e))
    if not ranked:
        where = f"Debian {codename}" if codename else "a Debian release"
        raise RuntimeError(
            f"no Debian mirror is configured: no entry of /etc/apt/sources.list or "
            f"/etc/apt/sources.list.d/ serves {where}; set {MIRROR_ENV} to the URI "
            f"of a Debian mirror, or install OpenJPH 0.31+ and point "
            f"CMAKE_PREFIX_PATH at it")
    return min(ranked, key=lambda r: r[:2])[2]


def private_source_line(mirror: dict) -> str:
    """The one line of the private configuration: the mirror, unstable suite."""
    signed_by = mirror.get("signed_by")
    opts = f" [signed-by={signed_by}]" if signed_by else ""
    return f"deb{opts} {mirror['uri']} {SUITE} main"


def system_mirror(etc: str = "/etc/apt", os_release_path: str = "/etc/os-release") -> dict:
    override = os.environ.get(MIRROR_ENV, "").strip()
    if override:
        return {"uri": override.rstrip("/"), "suite": SUITE, "signed_by": None}
    return debian_mirror(apt_source_entries(etc), os_release(os_release_path))


class PrivateApt:
    def __init__(self, state_dir: str, source_line: str):
        self.dir = state_dir
        os.makedirs(os.path.join(state_dir, "lists", "partial"), exist_ok=True)
        os.makedirs(os.path.join(state_dir, "archives", "partial"), exist_ok=True)
        self.sources = os.path.join(state_dir, "sources.list")
        with open(self.sources, "w") as f:
            f.write(source_line + "\n")
        self.opts = [
            "-o", f"Dir::Etc::sourcelist={self.sources}",
            "-o", "Dir::Etc::sourceparts=-",
            "-o", f"Dir::State::lists={os.path.join(state_dir, 'lists')}",
            "-o", f"Dir::Cache::archives={os.path.join(state_dir, 'archives')}",
            "-o", "APT::Get::List-Cleanup=0",
            "-o", "Debug::NoLocking=1",
        ]

    def run(self, *args: str, cwd: str | None = None) -> subprocess.CompletedProcess:
        return subprocess.run(list(args[:1]) + self.opts + list(args[1:]),
                              cwd=cwd, capture_output=True, text=True)

    def update(self) -> None:
        r = self.run("apt-get", "-q", "update")
        if r.returncode != 0:
            raise RuntimeError("apt-get update (private, unstable) failed:\n" + r.stderr)

    def candidate(self, package: str) -> tuple[str, str] | None:
        """(version, Depends) of the suite's candidate of ``package``."""
        r = self.run("apt-cache", "show", package)
        if r.returncode != 0 or not r.stdout.strip():
            return None
        best = None
        for stanza in r.stdout.strip().split("\n\n"):
            fields = dict(re.findall(r"^([A-Za-z-]+): (.*)$", stanza, re.M))
            if "Version" in fields:
                key = version_tuple(fields["Version"])
                if best is None or key > best[0]:
                    best = (key, fields["Version"], fields.get("Depends", ""))
        return (best[1], best[2]) if best else None

    def download(self, packages: list[str], dest: str) -> bool:
        r = self.run("apt-get", "-q", "download", *packages, cwd=dest)
        return r.returncode == 0


def provision(prefix: str, with_tools: bool) -> str:
    if not shutil.which("apt-get") or not shutil.which("dpkg"):
        raise RuntimeError(
            "no OpenJPH 0.31+ installation was found and this system has no apt/dpkg "
            "to fetch Debian's packages; install OpenJPH (conda-forge, Homebrew, "
            "vcpkg or your distribution) and point CMAKE_PREFIX_PATH at it")
    mirror = system_mirror()
    cache = os.path.join(os.path.dirname(prefix), "apt")
    apt = PrivateApt(cache, private_source_line(mirror))
    log(f"reading Debian unstable's package list from {mirror['uri']} "
        "(the system's mirror, private apt configuration)")
    apt.update()
    work = tempfile.mkdtemp(prefix="openjph-debs-")
    try:
        dev = apt.candidate("libopenjph-dev")
        if dev is None:
            raise RuntimeError("Debian unstable carries no libopenjph-dev")
        pinned_runtime = "libopenjph" + ".".join(PINNED.split(".")[:2])
        names = ["libopenjph-dev", pinned_runtime] + (["openjph-tools"] if with_tools else [])
        version = PINNED
        if not apt.download([f"{n}={PINNED}" for n in names], work):
            version, depends = dev
            if version_tuple(version) < MIN_VERSION:
                raise RuntimeError(f"Debian unstable carries OpenJPH {version}; 0.31 or newer is needed")
            m = re.search(r"(libopenjph0\.\d+)", depends)
            if not m:
                raise RuntimeError(f"cannot tell the runtime package of libopenjph-dev {version}")
            names[1] = m.group(1)
            log(f"pinned {PINNED} is gone from unstable; using {version}")
            if not apt.download([f"{n}={version}" for n in names], work):
                raise RuntimeError(f"apt-get download of OpenJPH {version} failed")
        staging = prefix + ".new"
        shutil.rmtree(staging, ignore_errors=True)
        for deb in sorted(glob.glob(os.path.join(work, "*.deb"))):
            subprocess.run(["dpkg", "-x", deb, staging], check=True)
        # Flatten usr/ so that the prefix looks like an ordinary install tree.
        usr = os.path.join(staging, "usr")
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.move(usr, prefix)
        shutil.rmtree(staging, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    needs_relaxing = not system_libstdcxx_has(WEAK_VERSION)
    patched = []
    if needs_relaxing:
        elfs = glob.glob(os.path.join(prefix, "lib", "*", "libopenjph.so.*.*.*"))
        elfs += glob.glob(os.path.join(prefix, "bin", "ojph_*"))
        for path in elfs:
            done = None if os.path.islink(path) else relax_version(path, WEAK_VERSION)
            if done:
                patched.append(f"{os.path.basename(path)} ({done})")
    with open(os.path.join(prefix, "OPENJPH_VERSION"), "w") as f:
        f.write(version + "\n")
    log(f"unpacked OpenJPH {version} into {prefix}")
    if patched:
        log(f"system libstdc++ lacks {WEAK_VERSION.decode()}: requirement relaxed in "
            + ", ".join(sorted(patched)))
    return version


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--prefix", default=os.path.join(".deps", "openjph"),
                    help="project-local prefix (default: %(default)s)")
    ap.add_argument("--no-tools", action="store_true",
                    help="skip OpenJPH's command-line tools")
    ap.add_argument("--force-local", action="store_true",
                    help="provision the private copy even when a system OpenJPH exists")
    args = ap.parse_args()
    prefix = os.path.abspath(args.prefix)
    stamp = os.path.join(prefix, "OPENJPH_VERSION")

    if not args.force_local and not os.path.exists(stamp):
        sysver = system_openjph_version()
        if sysver:
            log(f"using the system's OpenJPH {sysver}")
            print("")
            return 0
    if os.path.exists(stamp) and glob.glob(os.path.join(prefix, "lib", "*", "libopenjph.so.*")):
        with open(stamp) as f:
            log(f"OpenJPH {f.read().strip()} (project-local, {prefix})")
    else:
        try:
            provision(prefix, with_tools=not args.no_tools)
        except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
            log(f"error: {e}")
            return 1
    print(prefix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
