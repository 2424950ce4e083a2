"""File discovery: the Python files under the paths of the command line, the exclude patterns that leave paths
out, and the note on what they left out."""

import fnmatch
import os
from typing import Dict, Hashable, List, NamedTuple, Optional, Sequence, Set, TextIO, Tuple

from talvora.cli.common import PROG
from talvora.cli.reading import STDIN, AnalysisError, describe_os_error

# Skipped while searching directories unless --no-default-excludes is given.
# A trailing "/" matches directories only.
DEFAULT_EXCLUDES = (".*/", "__pycache__/", "test/", "tests/", "test_*.py", "*_test.py", "conftest.py")


def exclusion(relpath: str, is_dir: bool, patterns: Sequence[str]) -> Optional[str]:
    """The first pattern that excludes `relpath` (relative to a searched directory, "/"-separated), if any.

    A pattern without "/" (apart from a trailing one) matches the last path
    component, so ``tests/`` excludes every directory named tests; one with a
    "/" matches the whole relative path, as in ``pkg/*/fixtures``.  ``*``
    matches "/" too; matching is case-sensitive.
    """
    name = relpath.rsplit("/", 1)[-1]
    for pattern in patterns:
        body = pattern[:-1] if pattern.endswith("/") else pattern
        if body != pattern and not is_dir:
            continue
        if fnmatch.fnmatchcase(relpath if "/" in body else name, body):
            return pattern
    return None


# A file to analyse, or the error that stands in for it.
Item = Tuple[str, Optional[AnalysisError]]


class Skipped(NamedTuple):
    """A path left out of the analysis, with the reason."""

    path: str
    reason: str
    pattern: Optional[str] = None  # the exclude pattern, when excluded by one


class PathWarning(NamedTuple):
    """A warning about a command-line path, such as a directory without Python files."""

    path: str
    message: str


def expand_path(
    path: str,
    excludes: Sequence[str] = (),
    skipped: Optional[List[Skipped]] = None,
) -> List[Item]:
    """The files of one command-line path, as (file, error) pairs.

    A directory is searched recursively for ``*.py`` files in sorted order;
    directories and files matching one of `excludes` are left out and
    recorded in `skipped`.  A file named explicitly is taken whatever its
    suffix, and STDIN stands for standard input.  A path that does not exist
    or a directory that cannot be listed gives an error instead of a file.
    """
    if skipped is None:
        skipped = []
    if path == STDIN:
        return [(path, None)]
    if os.path.isdir(path):
        errors: List[OSError] = []
        found: List[Item] = []
        for root, dirs, files in os.walk(path, onerror=errors.append):
            rel = os.path.relpath(root, path).replace(os.sep, "/")
            prefix = "" if rel == "." else rel + "/"
            kept = []
            for d in sorted(dirs):
                hit = exclusion(prefix + d, True, excludes)
                if hit is None:
                    kept.append(d)
                else:
                    skipped.append(Skipped(os.path.join(root, d), "excluded by %s" % hit, hit))
            dirs[:] = kept
            for f in sorted(files):
                if not f.endswith(".py"):
                    continue
                hit = exclusion(prefix + f, False, excludes)
                if hit is None:
                    found.append((os.path.join(root, f), None))
                else:
                    skipped.append(Skipped(os.path.join(root, f), "excluded by %s" % hit, hit))
        failed = [(e.filename or path, AnalysisError(e.filename or path, describe_os_error(e))) for e in errors]
        return failed + found
    try:
        os.stat(path)
    except OSError as e:  # missing, a symbolic link loop, a directory above that cannot be searched
        return [(path, AnalysisError(path, describe_os_error(e)))]
    except ValueError:  # a null byte in the path
        return [(path, AnalysisError(path, "no such file or directory"))]
    return [(path, None)]


def bundled_examples() -> str:
    """Path of the bundled example workloads."""
    from talvora.examples import workloads

    return str(workloads.__file__)


def _identity(item: Item) -> Hashable:
    """What makes two items one: the file itself (device and inode, so that links and other spellings of a
    path meet), else the absolute path."""
    path, err = item
    if path == STDIN:
        return STDIN
    if err is None:
        try:
            st = os.stat(path)
            return (st.st_dev, st.st_ino)
        except (OSError, ValueError):
            pass
    return os.path.abspath(path)


def collect_files(
    paths: Sequence[str],
    stderr: TextIO,
    excludes: Sequence[str] = (),
    skipped: Optional[List[Skipped]] = None,
    warnings: Optional[List[PathWarning]] = None,
) -> List[Item]:
    """The files under `paths` as (file, error) pairs, each file once however often it is named; warns of paths
    without Python files, on `stderr` and in `warnings`."""
    items: List[Item] = []
    seen: Set[Hashable] = set()
    for path in paths:
        expanded = expand_path(path, excludes, skipped)
        if not expanded:
            warning = PathWarning(path, "no Python files found")
            stderr.write("%s: warning: %s: %s\n" % (PROG, path, warning.message))
            if warnings is not None:
                warnings.append(warning)
        for item in expanded:
            key = _identity(item)
            if key not in seen:
                seen.add(key)
                items.append(item)
    return items


def unmatched_excludes(patterns: Sequence[str], skipped: Sequence[Skipped]) -> List[str]:
    """The patterns of `patterns` that left nothing out, each once, in order."""
    used = {s.pattern for s in skipped}
    return [p for i, p in enumerate(patterns) if p not in used and p not in patterns[:i]]


def format_exclusions(skipped: Sequence[Skipped], defaults: bool) -> Optional[str]:
    """One note line on what the exclude patterns left out, or None when nothing was."""
    counts: Dict[str, int] = {}
    for s in skipped:
        if s.pattern is not None:
            counts[s.pattern] = counts.get(s.pattern, 0) + 1
    if not counts:
        return None
    text = "%s: note: excluded %s" % (PROG, ", ".join("%d matching %s" % (n, p) for p, n in counts.items()))
    if defaults and any(p in DEFAULT_EXCLUDES for p in counts):
        text += " (--no-default-excludes includes them)"
    return text + "\n"
