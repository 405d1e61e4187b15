import importlib

import pytest


@pytest.fixture(params=["anyfold", "tightfold"])
def module(request):
    """Each of the two modules, for what they share."""
    return importlib.import_module("calvoro." + request.param)


@pytest.fixture
def anyfold():
    import calvoro.anyfold
    return calvoro.anyfold


@pytest.fixture
def tightfold():
    import calvoro.tightfold
    return calvoro.tightfold
