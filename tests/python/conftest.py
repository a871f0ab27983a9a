import os

import pytest

import codestreams

# The shared corpus lies beside the checkout; a copy of these tests run
# elsewhere (the wheel check) is told where it is.
CORPUS = os.environ.get("FERROGLYPH_CORPUS_DIR") or os.path.normpath(
    os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: fuzzers and sweeps, left out of the installed wheel's check")


@pytest.fixture(scope="session")
def corpus_dir():
    if not os.path.isdir(CORPUS):
        pytest.skip("the shared test corpus is not beside this checkout")
    return CORPUS


@pytest.fixture(scope="session")
def bridge():
    """The bridge library through ctypes (one load for the whole run)."""
    return codestreams.bridge()
