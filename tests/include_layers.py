#!/usr/bin/env python3
"""The include graph of the program's own sources: each folder is a layer, and a file may include
only its own layer and the layers below it (docs/architecture.md). package/, image/ and nvme/
stand side by side and include none of each other.

usage: include_layers.py [ROOT]   prints the arrows that climb or cross, the circles between
                                  modules and the largest files; exits 1 when an arrow climbs or
                                  crosses or a circle exists
"""
import os, re, sys

# Lowest first. A folder not named here is not part of the program (tests, tools, the emulator).
LAYERS = ['platform', 'core', 'package', 'image', 'nvme', 'discovery', 'app']
RANK = {name: i for i, name in enumerate(LAYERS)}
# Layers of the same height that may not include each other.
PEERS = {'package': 0, 'image': 0, 'nvme': 0}

root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..'))
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

def layer(path):
    top = path.split('/')[0]
    return top if top in RANK else None

files = {}
for top in LAYERS:
    for folder, _, names in os.walk(os.path.join(root, top)):
        for name in names:
            if name.endswith(('.h', '.cpp')):
                rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, '/')
                files[rel] = include.findall(open(os.path.join(root, rel), errors='replace').read())

up, side = [], []
for f, targets in sorted(files.items()):
    for t in targets:
        a, b = layer(f), layer(t)
        if a is None or b is None or a == b:
            continue
        if RANK[b] > RANK[a] and not (a in PEERS and b in PEERS):
            up.append((f, t))
        elif a in PEERS and b in PEERS and a != b:
            side.append((f, t))

# Circles between modules (a header and its source are one module, and so is a header private to
# it, X_private.h): a strongly connected component of more than one.
def module(path):
    stem = os.path.splitext(path)[0]
    return stem[:-len('_private')] if stem.endswith('_private') else stem
graph = {}
for f, ts in files.items():
    graph.setdefault(module(f), set()).update(module(t) for t in ts if t in files and module(t) != module(f))
index, low, stack, on, circles = {}, {}, [], set(), []
sys.setrecursionlimit(10000)
def visit(v):
    index[v] = low[v] = len(index)
    stack.append(v); on.add(v)
    for w in graph[v]:
        if w not in index:
            visit(w); low[v] = min(low[v], low[w])
        elif w in on:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        part = []
        while True:
            w = stack.pop(); on.discard(w); part.append(w)
            if w == v: break
        if len(part) > 1: circles.append(sorted(part))
for v in graph:
    if v not in index: visit(v)

sizes = sorted(((sum(1 for _ in open(os.path.join(root, f), errors='replace')), f) for f in files), reverse=True)
print(f'{len(files)} files ({len(graph)} modules) in {", ".join(LAYERS)}')
print(f'arrows that climb: {len(up)}')
for f, t in up: print(f'  {f} -> {t}')
print(f'arrows between peers: {len(side)}')
for f, t in side: print(f'  {f} -> {t}')
print(f'circles between modules: {len(circles)}')
for c in circles: print('  ' + ' <-> '.join(c))
print('largest files: ' + ', '.join(f'{f} {n}' for n, f in sizes[:5]))
sys.exit(1 if up or side or circles else 0)
