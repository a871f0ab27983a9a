"""tools/provision_openjph.py: which mirror the private apt configuration uses.

The mirror comes from the system's own apt sources (deb822 or one-line form);
only the private configuration names the unstable suite.  The URIs below are
placeholders on reserved example names, not registries.
"""

from __future__ import annotations

import importlib.util
import os

import pytest

_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "provision_openjph.py")
_spec = importlib.util.spec_from_file_location("provision_openjph", _PATH)
prov = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(prov)

MAIN = "http://mirror.example/debian"
OTHER = "http://other.example/debian"
SECURITY = "http://mirror.example/debian-security"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
BOOKWORM = {"ID": "debian", "VERSION_CODENAME": "bookworm"}
UBUNTU = {"ID": "ubuntu", "ID_LIKE": "debian", "VERSION_CODENAME": "noble"}


def _etc(tmp_path, files: dict[str, str]) -> str:
    etc = tmp_path / "apt"
    (etc / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (etc / name).write_text(text)
    return str(etc)


# (files under /etc/apt, os-release, expected URI, expected signed-by)
CASES = {
    "deb822, security stanza first": (
        {"sources.list.d/debian.sources":
            f"Types: deb\nURIs: {SECURITY}\nSuites: bookworm-security\nComponents: main\n\n"
            f"# a comment\nTypes: deb\nURIs: {MAIN}/\nSuites: bookworm bookworm-updates\n"
            f"Components: main\nSigned-By: {KEYRING}\n"},
        BOOKWORM, MAIN, KEYRING),
    "one-line with options": (
        {"sources.list": f"# deb {OTHER} bookworm main\n"
                         f"deb [arch=amd64 signed-by={KEYRING}] {MAIN} bookworm main contrib\n"
                         f"deb {SECURITY} bookworm-security main\n"},
        BOOKWORM, MAIN, KEYRING),
    "the release's own suite beats -updates": (
        {"sources.list": f"deb {OTHER} bookworm-updates main\ndeb {MAIN} bookworm main\n"},
        BOOKWORM, MAIN, None),
    "disabled stanza and source-only entries skipped": (
        {"sources.list.d/a.sources":
            f"Enabled: no\nTypes: deb\nURIs: {OTHER}\nSuites: bookworm\n\n"
            f"Types: deb-src\nURIs: {OTHER}\nSuites: bookworm\n",
         "sources.list.d/b.list": f"deb-src {OTHER} bookworm main\ndeb {MAIN} bookworm main\n"},
        BOOKWORM, MAIN, None),
    "inline key is not carried to one line": (
        {"sources.list.d/x.sources":
            f"Types: deb\nURIs: {MAIN}\nSuites: bookworm\n"
            "Signed-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n abc\n"},
        BOOKWORM, MAIN, None),
    "a non-Debian system with a Debian unstable entry": (
        {"sources.list": f"deb http://archive.example/ubuntu noble main\ndeb {MAIN} sid main\n"},
        UBUNTU, MAIN, None),
    "files of other names are not apt's": (
        {"sources.list.d/old.list.disabled": f"deb {OTHER} bookworm main\n",
         "sources.list.d/new.sources": f"Types: deb\nURIs: {MAIN}\nSuites: bookworm\n"},
        BOOKWORM, MAIN, None),
}


@pytest.mark.parametrize("name", list(CASES))
def test_mirror_from_system_configuration(tmp_path, name):
    files, release, uri, signed_by = CASES[name]
    mirror = prov.debian_mirror(prov.apt_source_entries(_etc(tmp_path, files)), release)
    assert (mirror["uri"], mirror["signed_by"]) == (uri, signed_by)
    line = prov.private_source_line(mirror)
    assert line.endswith(f"{uri} sid main")
    assert ("signed-by=" in line) == (signed_by is not None)


@pytest.mark.parametrize("files, release", [
    ({}, BOOKWORM),
    ({"sources.list": f"deb {SECURITY} bookworm-security main\n"}, BOOKWORM),
    ({"sources.list": "deb http://archive.example/ubuntu noble main\n"}, UBUNTU),
    ({"sources.list": "deb cdrom:[Debian 12]/ bookworm main\n"}, BOOKWORM),
])
def test_no_debian_mirror_is_a_clear_error(tmp_path, files, release, monkeypatch):
    monkeypatch.delenv(prov.MIRROR_ENV, raising=False)
    with pytest.raises(RuntimeError, match=f"no Debian mirror is configured.*{prov.MIRROR_ENV}"):
        prov.debian_mirror(prov.apt_source_entries(_etc(tmp_path, files)), release)


def test_environment_names_the_mirror(tmp_path, monkeypatch):
    monkeypatch.setenv(prov.MIRROR_ENV, OTHER + "/")
    mirror = prov.system_mirror(etc=_etc(tmp_path, {}), os_release_path=str(tmp_path / "none"))
    assert prov.private_source_line(mirror) == f"deb {OTHER} sid main"


def test_os_release_parsing(tmp_path):
    path = tmp_path / "os-release"
    path.write_text('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nID=debian\n'
                    "VERSION_CODENAME='bookworm'\n# comment\n")
    assert prov.os_release(str(path)) == {
        "PRETTY_NAME": "Debian GNU/Linux 12 (bookworm)", "ID": "debian",
        "VERSION_CODENAME": "bookworm"}
    assert prov.os_release(str(tmp_path / "missing")) == {}
