"""Best-fit free-block index in pure Python: a red-black tree keyed by size
with same-size chains, written the way the native tree works."""

import threading

RED, BLACK = 0, 1


class _Node:
    __slots__ = ("parent", "left", "right", "color", "size", "block", "next")

    def __init__(self, size, block):
        self.parent = self.left = self.right = self.next = None
        self.color = RED
        self.size = size
        self.block = block


def _red(n):
    return n is not None and n.color == RED


class FastRedBlackTree:
    def __init__(self, sample_rate=100):
        self.root = None
        self.node_count = 0
        self.write_lock = threading.Lock()
        self.stats = {"total_blocks": 0, "total_insertions": 0, "total_deletions": 0, "total_searches": 0}

    # -- core --
    def _find_node(self, size):
        n = self.root
        while n is not None:
            if n.size == size:
                return n
            n = n.left if size < n.size else n.right
        return None

    def _find_best_fit_node(self, size):
        n, cand = self.root, None
        while n is not None:
            if n.size < size:
                n = n.right
            else:
                cand = n
                n = n.left
        return cand

    def _rotate_left(self, x):
        y = x.right
        x.right = y.left
        if y.left is not None:
            y.left.parent = x
        y.parent = x.parent
        if x.parent is None:
            self.root = y
        elif x is x.parent.left:
            x.parent.left = y
        else:
            x.parent.right = y
        y.left = x
        x.parent = y

    def _rotate_right(self, x):
        y = x.left
        x.left = y.right
        if y.right is not None:
            y.right.parent = x
        y.parent = x.parent
        if x.parent is None:
            self.root = y
        elif x is x.parent.right:
            x.parent.right = y
        else:
            x.parent.left = y
        y.right = x
        x.parent = y

    def _fixup_insert(self, z):
        while z.parent is not None and z.parent.color == RED:
            p = z.parent
            g = p.parent
            if p is g.left:
                u = g.right
                if _red(u):
                    p.color = u.color = BLACK
                    g.color = RED
                    z = g
                    continue
                if z is p.right:
                    z = p
                    self._rotate_left(z)
                    p = z.parent
                    g = p.parent
                p.color = BLACK
                g.color = RED
                self._rotate_right(g)
            else:
                u = g.left
                if _red(u):
                    p.color = u.color = BLACK
                    g.color = RED
                    z = g
                    continue
                if z is p.left:
                    z = p
                    self._rotate_right(z)
                    p = z.parent
                    g = p.parent
                p.color = BLACK
                g.color = RED
                self._rotate_left(g)
        self.root.color = BLACK

    def _transplant(self, u, v):
        if u.parent is None:
            self.root = v
        elif u is u.parent.left:
            u.parent.left = v
        else:
            u.parent.right = v
        if v is not None:
            v.parent = u.parent

    def _delete_node(self, z):
        removed = z.color
        if z.left is None:
            x = z.right
            self._transplant(z, z.right)
        elif z.right is None:
            x = z.left
            self._transplant(z, z.left)
        else:
            y = z.right
            while y.left is not None:
                y = y.left
            removed = y.color
            x = y.right
            if y.parent is not z:
                self._transplant(y, y.right)
                y.right = z.right
                y.right.parent = y
            elif x is not None:
                x.parent = y
            self._transplant(z, y)
            y.left = z.left
            y.left.parent = y
            y.color = z.color
        if removed == BLACK and x is not None:
            self._fixup_delete(x)

    def _fixup_delete(self, x):
        while x is not self.root and x.color == BLACK:
            p = x.parent
            if x is p.left:
                w = p.right
                if w is None:
                    x = p
                    continue
                if w.color == RED:
                    w.color = BLACK
                    p.color = RED
                    self._rotate_left(p)
                    w = x.parent.right
                    if w is None:
                        x = x.parent
                        continue
                if _red(w.left) or _red(w.right):
                    if not _red(w.right):
                        w.left.color = BLACK
                        w.color = RED
                        self._rotate_right(w)
                        w = x.parent.right
                        if w is None:
                            break
                    p = x.parent
                    w.color = p.color
                    p.color = BLACK
                    if w.right is not None:
                        w.right.color = BLACK
                    self._rotate_left(p)
                    x = self.root
                    break
                w.color = RED
                x = p
            else:
                w = p.left
                if w is None:
                    x = p
                    continue
                if w.color == RED:
                    w.color = BLACK
                    p.color = RED
                    self._rotate_right(p)
                    w = x.parent.left
                    if w is None:
                        x = x.parent
                        continue
                if _red(w.left) or _red(w.right):
                    if not _red(w.left):
                        w.right.color = BLACK
                        w.color = RED
                        self._rotate_left(w)
                        w = x.parent.left
                        if w is None:
                            break
                    p = x.parent
                    w.color = p.color
                    p.color = BLACK
                    if w.left is not None:
                        w.left.color = BLACK
                    self._rotate_right(p)
                    x = self.root
                    break
                w.color = RED
                x = p
        if x is not None:
            x.color = BLACK

    def _height(self, n):
        return 0 if n is None else 1 + max(self._height(n.left), self._height(n.right))

    # -- interface --
    def insert(self, size, block):
        if size < 0:
            raise ValueError("Invalid size: " + str(size))
        with self.write_lock:
            new = _Node(size, block)
            node = self._find_node(size)
            if node is not None:
                new.next = node.next
                node.next = new
            elif self.root is None:
                new.color = BLACK
                self.root = new
            else:
                n = self.root
                while True:
                    if size < n.size:
                        if n.left is None:
                            n.left = new
                            break
                        n = n.left
                    else:
                        if n.right is None:
                            n.right = new
                            break
                        n = n.right
                new.parent = n
                self._fixup_insert(new)
            self.node_count += 1
            self.stats["total_blocks"] += 1
            self.stats["total_insertions"] += 1
        return True

    def find_best_fit(self, size, alignment=1):
        if size < 0:
            return None
        node = self._find_best_fit_node(size)
        self.stats["total_searches"] += 1
        return None if node is None else node.block

    def find_all_exact(self, size):
        node = self._find_node(size) if size >= 0 else None
        out = []
        while node is not None:
            out.append(node.block)
            node = node.next
        self.stats["total_searches"] += 1
        return out

    def _take(self, node):
        d = node.next
        if d is not None:
            node.block = d.block
            node.next = d.next
        else:
            self._delete_node(node)
        self.node_count -= 1
        self.stats["total_blocks"] -= 1
        self.stats["total_deletions"] += 1

    def remove_ge(self, size):
        if size < 0:
            return (None, None)
        with self.write_lock:
            node = self._find_best_fit_node(size)
            if node is None:
                return (None, None)
            result = (node.size, node.block)
            self._take(node)
            return result

    def delete(self, size, block):
        if size < 0:
            return False
        with self.write_lock:
            node = self._find_node(size)
            if node is None:
                return False
            if node.block == block:
                self._take(node)
                return True
            prev, m = node, node.next
            while m is not None:
                if m.block == block:
                    prev.next = m.next
                    self.node_count -= 1
                    self.stats["total_blocks"] -= 1
                    self.stats["total_deletions"] += 1
                    return True
                prev, m = m, m.next
            return False

    def size(self):
        return self.node_count

    def __len__(self):
        return self.node_count

    def height(self):
        return self._height(self.root)

    def get_size_distribution(self):
        out = {}

        def walk(n):
            if n is None:
                return
            c, m = 1, n.next
            while m is not None:
                c, m = c + 1, m.next
            out[n.size] = c
            walk(n.left)
            walk(n.right)

        walk(self.root)
        return out
