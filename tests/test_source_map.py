"""src/calvoro/README.md is the map of the sources: it names every file."""

import fnmatch
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "src", "calvoro")
MAP = os.path.join(PACKAGE, "README.md")
SOURCES = (".cpp", ".hpp", ".py", ".pyi")

pytestmark = pytest.mark.skipif(not os.path.isfile(MAP),
                                reason="no source tree beside the tests")


def source_files():
    for top, dirs, files in os.walk(PACKAGE):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            if name.endswith(SOURCES):
                path = os.path.relpath(os.path.join(top, name), PACKAGE)
                yield path.replace(os.sep, "/")


def named_paths():
    """The file names in backquotes; `stem.*` names a header and its .cpp."""
    with open(MAP, encoding="utf-8") as f:
        text = f.read()
    return [name for name in re.findall(r"`([^`\s]+)`", text)
            if name.endswith(SOURCES) or name.endswith(".*")]


def test_every_source_file_is_on_the_map():
    names = named_paths()
    missing = [path for path in sorted(source_files())
               if not any(fnmatch.fnmatchcase(path, n) for n in names)]
    assert missing == []


def test_the_map_names_no_file_that_is_gone():
    files = list(source_files())
    # a name may point out of the package, from the top of the tree
    stale = [n for n in named_paths()
             if not any(fnmatch.fnmatchcase(path, n) for path in files)
             and not os.path.exists(os.path.join(ROOT, n))]
    assert stale == []
