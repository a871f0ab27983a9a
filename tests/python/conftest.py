import os

import pytest

CORPUS = os.path.normpath(
    os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus"))


@pytest.fixture(scope="session")
def corpus_dir():
    if not os.path.isdir(CORPUS):
        pytest.skip("the shared test corpus is not beside this checkout")
    return CORPUS
