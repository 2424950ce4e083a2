"""talvora: speeds up Python programs with native memory pools, JIT policy, workload analysis and GPU planning."""

from typing import Any

__version__: str  # from the package metadata, on first use


def _version() -> str:
    # The one source of the version is the project metadata: installed, or in a source tree.
    from importlib import metadata

    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:
        pass
    import re
    from pathlib import Path

    try:
        text = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text(encoding="utf-8")
    except OSError:
        return "0+unknown"
    project = re.search(r"^\[project\]$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    m = project and re.search(r'^version\s*=\s*"([^"]+)"', project.group(1), re.M)
    return m.group(1) if m else "0+unknown"


def __getattr__(name: str) -> Any:
    if name == "__version__":
        value = _version()
        globals()["__version__"] = value
        return value
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
