"""The package as installed: version, metadata, documents."""

import importlib.metadata
import importlib.util
import re

import pytest
from support.module_list import ROOT

import talvora


def test_classifiers_name_every_supported_python():
    makefile = (ROOT / "Makefile").read_text()
    supported = re.search(r"^SUPPORTED_PYTHONS := (.+)$", makefile, re.M).group(1).split()
    meta = importlib.metadata.metadata("talvora")
    classifiers = meta.get_all("Classifier")
    listed = sorted(
        c.rsplit(" :: ", 1)[1] for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    )
    assert listed == sorted(supported)
    assert "Typing :: Typed" in classifiers
    assert meta["Requires-Python"] == ">=%s" % supported[0]


def _load_copy(tmp_path, pyproject):
    """talvora/__init__.py loaded under another name from a tree with the given pyproject.toml (None: none)."""
    package = tmp_path / "talvora_copy"
    package.mkdir()
    init = package / "__init__.py"
    init.write_text((ROOT / "talvora" / "__init__.py").read_text())
    if pyproject is not None:
        (tmp_path / "pyproject.toml").write_text(pyproject)
    found = importlib.util.spec_from_file_location("talvora_copy", str(init))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_version_comes_from_metadata_and_from_the_source_tree_otherwise(tmp_path):
    assert talvora.__version__ == importlib.metadata.version("talvora")
    assert "__version__" in vars(talvora)  # looked up once
    copy = _load_copy(
        tmp_path,
        '[build-system]\nversion = "0"\n\n[project]\nname = "x"\nversion = "9.8.7"\n\n[tool.other]\nversion = "1"\n',
    )
    assert copy.__version__ == "9.8.7"


@pytest.mark.parametrize("pyproject", [None, '[project]\nname = "x"\n\n[tool.x]\nversion = "1"\n'])
def test_version_without_metadata_or_project_version(tmp_path, pyproject):
    assert _load_copy(tmp_path, pyproject).__version__ == "0+unknown"


def test_other_missing_attributes_still_raise():
    with pytest.raises(AttributeError, match="has no attribute 'nothing'"):
        _ = talvora.nothing


def test_readme_links_resolve():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    links = re.findall(r"\]\(([^)#:]+)\)", text)
    assert "bench/README.md" in links and "CHANGELOG.md" in links
    for link in links:
        assert (ROOT / link).is_file(), link
