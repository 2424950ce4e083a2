"""Source scanning: every function definition of a syntax tree with its qualified name and the share of its
loops that could be split into chunks, and the source text of a node."""

import ast
import re
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union

_STOP_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)
_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


# Node classes without children that matter here (contexts and operators): not visited.
_LEAVES = frozenset(
    cls
    for base in (ast.expr_context, ast.boolop, ast.operator, ast.unaryop, ast.cmpop)
    for cls in base.__subclasses__()
)


def _children(node: ast.AST) -> List[ast.AST]:
    """The child nodes of `node` in field order, as ast.iter_child_nodes gives them, less the leaves."""
    found: List[ast.AST] = []
    for name in node._fields:
        value = getattr(node, name, None)
        if isinstance(value, list):
            found.extend(item for item in value if isinstance(item, ast.AST) and type(item) not in _LEAVES)
        elif isinstance(value, ast.AST) and type(value) not in _LEAVES:
            found.append(value)
    return found


def _walk_local(node: ast.AST) -> Iterator[ast.AST]:
    """Nodes below `node`, not descending into nested functions or classes."""
    stack = _children(node)
    while stack:
        n = stack.pop()
        yield n
        if not isinstance(n, _STOP_NODES):
            stack.extend(_children(n))


def _breaks_out(body: Sequence[ast.stmt]) -> bool:
    """Whether a loop body leaves the loop early or suspends (break, return, yield, await)."""
    for stmt in body:
        for n in [stmt, *_walk_local(stmt)]:
            if isinstance(n, (ast.Return, ast.Yield, ast.YieldFrom, ast.Await)):
                return True
            if isinstance(n, ast.Break) and not _inside_inner_loop(stmt, n):
                return True
    return False


def _inside_inner_loop(root: ast.stmt, target: ast.AST) -> bool:
    """Whether `target` sits in a loop nested within `root` (so it breaks that loop)."""
    for n in [root, *_walk_local(root)]:
        if isinstance(n, (ast.For, ast.AsyncFor, ast.While)):
            if any(m is target for body in (n.body, n.orelse) for s in body for m in [s, *_walk_local(s)]):
                return True
    return False


_LOOPS = (ast.For, ast.AsyncFor, ast.While) + _COMPREHENSIONS


def _count_loop(n: ast.AST, counts: List[int]) -> None:
    """Adds a loop node to counts = [loops, chunkable loops]; other nodes leave them.

    `for` loops and comprehensions count as chunkable unless their body breaks
    out, returns, yields or awaits; `while` loops never do (their trip count is
    unknown).
    """
    if isinstance(n, (ast.For, ast.AsyncFor)):
        counts[0] += 1
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


def find_functions(tree: ast.AST) -> List[Tuple[FunctionNode, str, float]]:
    """Every function definition with its qualified name and loop chunking potential, in source order.

    One walk over the tree, with the qualified-name prefix of each scope and
    the loop counts of the function whose own code a node is (a nested
    function's loops count for it alone).  Outside functions (modules, class
    bodies) only statements are visited: definitions are statements, and
    loops there count for no function; lambdas are not entered at all.
    """
    found: List[Tuple[FunctionNode, str, List[int]]] = []
    Counts = Optional[List[int]]
    stack: List[Tuple[ast.AST, str, Counts]] = [(tree, "", None)]
    fields = _fields
    AST = ast.AST
    while stack:  # iterative: long expressions nest deeply
        node, prefix, owner = stack.pop()
        every, statements = fields(type(node))
        for name in every if owner is not None else statements:
            value = getattr(node, name, None)
            if type(value) is list:
                children = value
            elif isinstance(value, AST):
                children = [value]
            else:
                continue
            for child in children:
                if not isinstance(child, AST):
                    continue
                if isinstance(child, _FUNCTIONS):
                    qual = prefix + child.name
                    counts = [0, 0]
                    found.append((child, qual, counts))
                    stack.append((child, qual + ".<locals>.", counts))
                elif isinstance(child, ast.ClassDef):
                    stack.append((child, prefix + child.name + ".", None))
                elif isinstance(child, ast.Lambda):
                    pass  # neither definitions nor counted loops inside
                else:
                    if owner is not None and isinstance(child, _LOOPS):
                        _count_loop(child, owner)
                    if fields(type(child))[0]:
                        stack.append((child, prefix, owner))
    found.sort(key=lambda item: (item[0].lineno, item[0].col_offset))
    return [(node, qual, _share(counts)) for node, qual, counts in found]


# Lines as the parser counts them: ended by "\r\n", "\r" or "\n" (a form feed
# does not end a line), each with its line break.
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")


class SourceLines:
    """A source text split into lines once, to cut out the text of many nodes.

    ``segment(node)`` gives what ``ast.get_source_segment(source, node)`` gives,
    in time proportional to the segment rather than to the whole source.
    """

    def __init__(self, source: str):
        self.lines = _LINE.findall(source)

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
