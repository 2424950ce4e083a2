"""Source scanning: every function definition of a syntax tree with its qualified name and the share of its
loops that could be split into chunks, and the source text of a node."""

import ast
import io
from itertools import accumulate, repeat
from typing import Dict, List, Optional, Sequence, Tuple, Union

_STOP_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)
_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


# Node classes without children that matter here (contexts and operators): not visited.
_LEAVES = frozenset(
    cls
    for base in (ast.expr_context, ast.boolop, ast.operator, ast.unaryop, ast.cmpop)
    for cls in base.__subclasses__()
)


_SUSPENDS = (ast.Return, ast.Yield, ast.YieldFrom, ast.Await)
_LOOP_STATEMENTS = (ast.For, ast.AsyncFor, ast.While)


def _breaks_out(body: Sequence[ast.stmt]) -> bool:
    """Whether a loop body leaves the loop early or suspends (break, return, yield, await).

    One walk of the body, not entering functions, classes and lambdas below
    its statements; a break inside a nested loop (its body or else) breaks
    that loop, not this one.
    """
    stack: List[Tuple[ast.AST, bool, bool]] = [(stmt, True, False) for stmt in body]
    fields = _fields
    AST = ast.AST
    while stack:
        node, top, inner = stack.pop()
        if isinstance(node, _SUSPENDS):
            return True
        if isinstance(node, ast.Break):
            if not inner:
                return True
            continue
        if not top and isinstance(node, _STOP_NODES):
            continue
        inner = inner or isinstance(node, _LOOP_STATEMENTS)
        for name in fields(type(node))[0]:
            value = getattr(node, name, None)
            if type(value) is list:
                stack.extend((item, False, inner) for item in value if isinstance(item, AST))
            elif isinstance(value, AST):
                stack.append((value, False, inner))
    return False


_LOOPS = (ast.For, ast.AsyncFor, ast.While) + _COMPREHENSIONS


# A loop body that holds none of these words can leave its loop early or suspend in no way.
_LEAVING_WORDS = ("break", "return", "yield", "await")


def _count_loop(n: ast.AST, counts: List[int], lines: Optional[Sequence[str]] = None) -> None:
    """Adds a loop node to counts = [loops, chunkable loops]; other nodes leave them.

    `for` loops and comprehensions count as chunkable unless their body breaks
    out, returns, yields or awaits; `while` loops never do (their trip count is
    unknown).  Given the source `lines`, a `for` loop whose lines hold none of
    those keywords is not walked.
    """
    if isinstance(n, (ast.For, ast.AsyncFor)):
        counts[0] += 1
        if lines is not None and 0 < n.lineno <= (n.end_lineno or 0) <= len(lines):
            text = "".join(lines[n.lineno - 1 : n.end_lineno])
            if not any(word in text for word in _LEAVING_WORDS):
                counts[1] += 1
                return
        if not _breaks_out(n.body):
            counts[1] += 1
    elif isinstance(n, ast.While):
        counts[0] += 1
    elif isinstance(n, _COMPREHENSIONS):
        counts[0] += 1
        elts = [n.key, n.value] if isinstance(n, ast.DictComp) else [n.elt]
        if not any(isinstance(m, (ast.Yield, ast.YieldFrom, ast.Await)) for e in elts for m in ast.walk(e)):
            counts[1] += 1


def _share(counts: List[int]) -> float:
    """The share of chunkable loops; 0.0 without loops."""
    loops, chunkable = counts
    return chunkable / loops if loops else 0.0


FunctionNode = Union[ast.FunctionDef, ast.AsyncFunctionDef]


_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)

# Fields that never hold a node that matters here (names, numbers, contexts, operators, imported names).
_SCALAR_FIELDS = frozenset(
    {
        "id",
        "name",
        "asname",
        "arg",
        "attr",
        "n",
        "s",
        "kind",
        "type_comment",
        "module",
        "level",
        "conversion",
        "is_async",
        "names",
        "ctx",
        "op",
        "tag",
    }
)
# Fields that hold statements (and the handlers and match cases that hold statements).
_STATEMENT_FIELDS = frozenset({"body", "orelse", "finalbody", "handlers", "cases"})
_STATEMENT_HOLDERS = (ast.stmt, ast.mod, ast.excepthandler) + tuple(
    cls for cls in (getattr(ast, "match_case", None),) if cls is not None
)
_FIELDS: Dict[type, Tuple[Tuple[str, ...], Tuple[str, ...]]] = {}


def _fields(cls: type) -> Tuple[Tuple[str, ...], Tuple[str, ...]]:
    """(fields that may hold nodes, fields that hold statements) of a node class."""
    try:
        return _FIELDS[cls]
    except KeyError:
        every = tuple(f for f in getattr(cls, "_fields", ()) if f not in _SCALAR_FIELDS)
        if cls in _LEAVES or cls in (ast.Name, ast.Constant):
            every = ()
        statements = tuple(f for f in every if f in _STATEMENT_FIELDS) if issubclass(cls, _STATEMENT_HOLDERS) else ()
        _FIELDS[cls] = (every, statements)
        return _FIELDS[cls]


# What the walk of find_functions does with a node of each class.
_SKIP, _FUNCTION, _CLASS, _LAMBDA, _LOOP, _EXPRESSION, _SIMPLE, _ARGUMENTS, _OTHER = range(9)
_KINDS: Dict[type, int] = {}


def _kind(cls: type) -> int:
    if not issubclass(cls, ast.AST) or not _fields(cls)[0]:
        kind = _SKIP
    elif issubclass(cls, _FUNCTIONS):
        kind = _FUNCTION
    elif issubclass(cls, ast.ClassDef):
        kind = _CLASS
    elif issubclass(cls, ast.Lambda):
        kind = _LAMBDA
    elif issubclass(cls, _LOOPS):
        kind = _LOOP
    elif issubclass(cls, (ast.expr, ast.arg, ast.keyword)):
        kind = _EXPRESSION
    elif issubclass(cls, ast.arguments):
        kind = _ARGUMENTS
    elif issubclass(cls, ast.stmt) and not _fields(cls)[1]:
        kind = _SIMPLE
    else:
        kind = _OTHER
    _KINDS[cls] = kind
    return kind


def _for_lines(lines: Sequence[str]) -> List[int]:
    """spans[i]: how many of the first i lines contain "for"."""
    return [0, *accumulate(map(str.__contains__, lines, repeat("for")))]


def find_functions(tree: ast.AST, lines: Optional[Sequence[str]] = None) -> List[Tuple[FunctionNode, str, float]]:
    """Every function definition with its qualified name and loop chunking potential, in source order.

    One walk over the tree, with the qualified-name prefix of each scope and
    the loop counts of the function whose own code a node is (a nested
    function's loops count for it alone).  Outside functions (modules, class
    bodies) only statements are visited: definitions are statements, and
    loops there count for no function; lambdas are not entered at all.

    Given the source `lines` (as SourceLines splits them), a simple statement,
    an expression of a statement or a function's parameters are not entered
    when their lines hold no "for": without that keyword they hold no
    comprehension, and they hold no other loops or definitions.
    """
    found: List[Tuple[FunctionNode, str, List[int]]] = []
    Counts = Optional[List[int]]
    stack: List[Tuple[ast.AST, str, Counts]] = [(tree, "", None)]
    spans = _for_lines(lines) if lines is not None else []
    ends = len(spans)
    fields = _fields
    kinds = _KINDS
    screened = _STATEMENT_HOLDERS + (ast.arguments,)
    while stack:  # iterative: long expressions nest deeply
        node, prefix, owner = stack.pop()
        every, statements = fields(type(node))
        inside = owner is not None
        screen = inside and ends and isinstance(node, screened)
        for name in every if inside else statements:
            value = getattr(node, name, None)
            for child in value if type(value) is list else (value,):
                kind = kinds.get(type(child))
                if kind is None:
                    kind = _kind(type(child))
                if kind == _SKIP or kind == _LAMBDA:  # lambdas: neither definitions nor counted loops inside
                    continue
                if kind == _FUNCTION:
                    qual = prefix + child.name
                    counts = [0, 0]
                    found.append((child, qual, counts))
                    stack.append((child, qual + ".<locals>.", counts))
                elif kind == _CLASS:
                    stack.append((child, prefix + child.name + ".", None))
                elif inside:
                    if kind == _LOOP:
                        _count_loop(child, owner, lines)  # type: ignore[arg-type]
                    elif screen and (kind == _EXPRESSION or kind == _SIMPLE):
                        first, last = child.lineno, child.end_lineno
                        if last is not None and 0 < first <= last < ends and spans[last] == spans[first - 1]:
                            continue
                    elif screen and kind == _ARGUMENTS and node.body:  # type: ignore[attr-defined]
                        # A function's parameters lie between its first line and that of its body.
                        first, last = node.lineno, node.body[0].lineno  # type: ignore[attr-defined]
                        if 0 < first <= last < ends and spans[last] == spans[first - 1]:
                            continue
                    stack.append((child, prefix, owner))
                elif fields(type(child))[1]:
                    stack.append((child, prefix, owner))
    found.sort(key=lambda item: (item[0].lineno, item[0].col_offset))
    return [(node, qual, _share(counts)) for node, qual, counts in found]


class SourceLines:
    """A source text split into lines once, to cut out the text of many nodes.

    ``segment(node)`` gives what ``ast.get_source_segment(source, node)`` gives,
    in time proportional to the segment rather than to the whole source.
    """

    def __init__(self, source: str):
        # Lines as the parser counts them: ended by "\r\n", "\r" or "\n" (a form feed does not end a line),
        # each with its line break; universal newlines without translation.
        self.lines = io.StringIO(source, newline="").readlines()

    def segment(self, node: ast.AST) -> Optional[str]:
        try:
            first, last = node.lineno - 1, node.end_lineno - 1  # type: ignore[attr-defined]
            start, end = node.col_offset, node.end_col_offset  # type: ignore[attr-defined]
        except AttributeError:
            return None
        if last is None or end is None:
            return None
        lines = self.lines
        # Column offsets count UTF-8 bytes.
        if first == last:
            return lines[first].encode()[start:end].decode()
        head = lines[first].encode()[start:].decode()
        tail = lines[last].encode()[:end].decode()
        return head + "".join(lines[first + 1 : last]) + tail
