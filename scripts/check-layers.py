#!/usr/bin/env python3
"""Checks the include structure of the sources (docs/layers.md says why it is so).

Reads every #include "..." under interp/, lib/, host/, shared/ and platform/ and fails,
naming the files, when
  - folders include each other in a cycle,
  - headers include each other in a cycle,
  - a folder includes one of a layer above its own,
  - lib/ includes an interpreter header outside the public interface,
  - host/ includes the interpreter or the library at all (it reaches them through shared/).
Usage: check-layers.py [SOURCE_DIR]    (exit status 0 when the tree is clean, 1 otherwise)
"""
import os
import re
import sys

CHECKED = ("interp", "lib", "host", "shared", "platform")

# Each folder may include itself and the folders listed for it, nothing else. The
# interpreter's layers, lowest first: base, data, front, api, run, abi.
MAY_INCLUDE = {
    "shared": set(),
    "platform": {"shared"},
    "interp/base": {"shared", "platform"},
    "interp/data": {"interp/base", "shared", "platform"},
    "interp/front": {"interp/data", "interp/base", "shared", "platform"},
    "interp/api": {"interp/data", "interp/base", "shared", "platform"},
    "interp/run": {"interp/api", "interp/front", "interp/data", "interp/base", "shared", "platform"},
    "interp/abi": {"interp/run", "interp/api", "interp/front", "interp/data", "interp/base", "shared",
                   "platform"},
    "lib": {"interp/api", "interp/data", "interp/base", "shared", "platform"},
    "host": {"shared", "platform"},
}

# The interpreter's public interface: the only interpreter headers lib/ may include. The
# builtin registry and the services a builtin may ask for (interp/api/), and the records
# builtins work on: the instance and its error state, values, the keyword and message
# tables, the string heap, conversions, arrays and maps.
PUBLIC = {
    "interp/base/instance.h", "interp/base/value.h", "interp/base/keywords.h", "interp/base/messages.h",
    "interp/base/report.h", "interp/data/heap.h", "interp/data/convert.h", "interp/data/array.h",
    "interp/data/map.h",
}
PUBLIC_FOLDERS = {"interp/api"}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SOURCE = re.compile(r"\.(h|hpp|c|cpp|inc)$")


def folder_of(path):
    parts = path.split("/")
    if parts[0] == "interp" and len(parts) > 2:
        return "interp/" + parts[1]
    return parts[0] if len(parts) > 1 else "."


def scan(root):
    """Every checked source and the files it includes, as paths relative to root."""
    edges = {}
    for top in CHECKED:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames.sort()
            for name in sorted(filenames):
                if not SOURCE.search(name):
                    continue
                full = os.path.join(dirpath, name)
                rel = os.path.relpath(full, root).replace(os.sep, "/")
                with open(full, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                targets = []
                for inc in INCLUDE.findall(text):
                    # The tree root is the include path; a bare name is the includer's neighbour.
                    beside = os.path.normpath(os.path.join(os.path.dirname(rel), inc)).replace(os.sep, "/")
                    if os.path.isfile(os.path.join(root, inc)):
                        targets.append(os.path.normpath(inc).replace(os.sep, "/"))
                    elif os.path.isfile(os.path.join(root, beside)):
                        targets.append(beside)
                    else:
                        targets.append(inc)  # not in the tree; still checked by folder
                edges[rel] = targets
    return edges


def cycles(graph):
    """The strongly connected components of more than one node (or a node on itself)."""
    index, low, on, stack, out = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        # Iterative Tarjan: deep include chains must not hit Python's recursion limit.
        work = [(v, iter(sorted(graph.get(v, ()))))]
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        while work:
            node, it = work[-1]
            advanced = False
            for w in it:
                if w not in index:
                    index[w] = low[w] = counter[0]
                    counter[0] += 1
                    stack.append(w)
                    on.add(w)
                    work.append((w, iter(sorted(graph.get(w, ())))))
                    advanced = True
                    break
                if w in on:
                    low[node] = min(low[node], index[w])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                comp = []
                while True:
                    w = stack.pop()
                    on.discard(w)
                    comp.append(w)
                    if w == node:
                        break
                if len(comp) > 1 or node in graph.get(node, ()):
                    out.append(sorted(comp))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def shortest_ring(graph, comp):
    """A shortest cycle through the nodes of one strongly connected component."""
    members, best = set(comp), None
    for start in comp:
        # Breadth first from `start` until an edge leads back to it.
        prev, frontier, found = {start: None}, [start], None
        while frontier and found is None:
            nxt = []
            for v in frontier:
                for w in sorted(graph.get(v, ())):
                    if w == start:
                        found = v
                        break
                    if w in members and w not in prev:
                        prev[w] = v
                        nxt.append(w)
                if found is not None:
                    break
            frontier = nxt
        ring = [found]
        while prev[ring[-1]] is not None:
            ring.append(prev[ring[-1]])
        ring.reverse()
        if best is None or len(ring) < len(best):
            best = ring
    return best


def check(root):
    edges = scan(root)
    problems = []

    folders = {}
    for src, targets in edges.items():
        for t in targets:
            a, b = folder_of(src), folder_of(t)
            if a != b and (b in MAY_INCLUDE or b in CHECKED):
                folders.setdefault(a, {}).setdefault(b, []).append((src, t))
    graph = {a: set(bs) for a, bs in folders.items()}
    for comp in cycles(graph):
        ring = shortest_ring(graph, comp)
        lines = [f"include cycle between folders {' -> '.join(ring + ring[:1])}:"]
        for a, b in zip(ring, ring[1:] + ring[:1]):
            made = folders[a][b]
            lines += [f"  {s} includes {t}" for s, t in made[:3]]
            if len(made) > 3:
                lines.append(f"  ... and {len(made) - 3} more includes from {a} of {b}")
        problems.append("\n".join(lines))

    headers = {s: {t for t in ts if t in edges and not t.endswith((".c", ".cpp"))}
               for s, ts in edges.items() if not s.endswith((".c", ".cpp"))}
    for comp in cycles(headers):
        ring = shortest_ring(headers, comp)
        lines = [f"include cycle between headers {' -> '.join(ring + ring[:1])}"]
        problems.append("\n".join(lines))

    for src, targets in sorted(edges.items()):
        a = folder_of(src)
        if a.startswith("interp") and a not in MAY_INCLUDE:
            problems.append(f"{src}: {a} is not a layer of the interpreter (docs/layers.md)")
            continue
        for t in targets:
            b = folder_of(t)
            if a == b or b not in MAY_INCLUDE and b not in CHECKED:
                continue
            if a == "host" and b.split("/")[0] in ("interp", "lib"):
                problems.append(f"{src} includes {t}: the host reaches the interpreter only through shared/")
            elif a == "lib" and b.startswith("interp") and b not in PUBLIC_FOLDERS and t not in PUBLIC:
                problems.append(f"{src} includes {t}: lib/ uses only the interpreter's public interface")
            elif a in MAY_INCLUDE and b not in MAY_INCLUDE[a]:
                problems.append(f"{src} includes {t}: {a} may not include {b}")
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = check(root)
    for p in problems:
        print("layers: " + p)
    if problems:
        print(f"layers: {len(problems)} problem(s)")
        return 1
    print("layers: no include cycles, every folder includes only the layers below it")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
