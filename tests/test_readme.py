"""The README's examples, run as doctests, one test per section."""

import doctest
import re

import pytest
from support.module_list import ROOT, SOURCES

README = ROOT / "README.md"

_HEADING = re.compile(r"^(#{2,3}) (.+)$")
_FENCE = re.compile(r"^```(\w*)\s*$")


def sections():
    """(heading, example text, first line) of every section with ``pycon`` blocks."""
    found = {}
    heading = "(top)"
    block, start, lang = None, 0, ""
    for number, line in enumerate(README.read_text(encoding="utf-8").splitlines(), 1):
        fence = _FENCE.match(line)
        if block is None:
            m = _HEADING.match(line)
            if m:
                heading = m.group(2).strip()
            elif fence and fence.group(1):
                block, start, lang = [], number, fence.group(1)
        elif fence and not fence.group(1):
            if lang == "pycon":
                text, first = found.get(heading, ("", start))
                found[heading] = (text + "\n".join(block) + "\n\n", first)
            block = None
        else:
            block.append(line)
    assert block is None, "unterminated code block at README.md:%d" % start
    return found


SECTIONS = sections()


def test_every_module_has_a_section_with_examples():
    titled = [h for h in SECTIONS if h.startswith("`")]
    assert sorted(h.split("`")[1] for h in titled) == sorted(SOURCES)
    assert "Command line" in SECTIONS


@pytest.mark.parametrize("heading", list(SECTIONS), ids=lambda h: h.split("`")[1] if "`" in h else h)
def test_section_examples(heading):
    module = heading.split("`")[1] if heading.startswith("`") else None
    if module and not (ROOT / SOURCES[module]).exists():
        pytest.skip("%s is not built yet" % module)
    text, first = SECTIONS[heading]
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {}, heading, str(README), first)
    assert test.examples, heading
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append, clear_globs=True)
    assert runner.failures == 0, "".join(failures)
