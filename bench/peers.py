"""What a user could pick instead of NuvelGraph, on the same queries.

Each peer computes the numbers of the model's aggregation queries for the
metric ``latency`` in its own way:

* networkx, per query: a memoised recursion over the event's predecessors
  for the (factor-weighted) path count from a workload, and over its
  successors for the summation value.
* scipy, every node at once: the summation values as the fixed point of
  ``x = leaf + A @ x`` with ``A`` the sparse matrix of count x factor, and a
  workload's path counts to every node by repeated products with the
  transposed count matrix.
* rustworkx, every node at once: the same sums in one pass over a
  topological order computed by the library.

Peers add in their own order, so their results are checked against the
extension's to a relative 1e-9 (the extension's batch calls against its
single calls bit for bit, in the tests).
"""

from __future__ import annotations

import math
import sys


def edges_of(m, metric: str = "latency"):
    """(source, target, count, factor) of every distinct edge of a model."""
    factor = {(s, t): f.get(metric, 1.0) for s, t, f in zip(m.factor_sources, m.factor_targets, m.factors)}
    return [(s, t, c, factor.get((s, t), 1.0)) for s, t, c in zip(m.pair_sources, m.pair_targets, m.counts)]


def leaf_values(m, metric: str = "latency") -> dict[str, float]:
    """The single value of every module that reports the metric."""
    return {name: data[metric]["value"] for name, data in zip(m.module_names, m.module_metrics)
            if metric in data and "value" in data[metric]}


def close(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


class NetworkxPeer:
    """A networkx DiGraph with count and factor on each edge; each query is
    a memoised recursion, fresh per call."""

    def __init__(self, m, metric: str = "latency") -> None:
        import networkx as nx

        self.graph = nx.DiGraph()
        self.graph.add_edges_from((s, t, {"count": c, "factor": f}) for s, t, c, f in edges_of(m, metric))
        self.leaf = leaf_values(m, metric)
        sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))

    def count(self, workload: str, event: str, weighted: bool = False) -> float:
        pred = self.graph.pred
        memo = {workload: 1.0}

        def below(v):
            if v not in memo:
                total = 0.0
                for p, data in pred[v].items():
                    weight = data["count"] * data["factor"] if weighted else data["count"]
                    total += below(p) * weight
                memo[v] = total
            return memo[v]

        return below(event)

    def summation(self, workload: str | None, event: str) -> float:
        succ = self.graph.succ
        leaf = self.leaf
        memo = {}

        def value(v):
            if v not in memo:
                children = succ[v]
                if not children:
                    memo[v] = leaf.get(v, 0.0)
                else:
                    memo[v] = sum(d["count"] * value(c) * d["factor"] for c, d in children.items())
            return memo[v]

        result = value(event)
        return result if workload is None else self.count(workload, event, weighted=True) * result


class ScipyPeer:
    """Sparse matrices over the distinct edges; every node at once."""

    def __init__(self, m, metric: str = "latency") -> None:
        import numpy as np
        import scipy.sparse as sp

        self.np = np
        names = list(dict.fromkeys(m.node_names))
        self.names = names
        self.index = {name: i for i, name in enumerate(names)}
        edges = edges_of(m, metric)
        src = np.fromiter((self.index[s] for s, _, _, _ in edges), dtype=np.int64, count=len(edges))
        tgt = np.fromiter((self.index[t] for _, t, _, _ in edges), dtype=np.int64, count=len(edges))
        count = np.fromiter((c for _, _, c, _ in edges), dtype=float, count=len(edges))
        factor = np.fromiter((f for _, _, _, f in edges), dtype=float, count=len(edges))
        n = len(names)
        self.weights = sp.csr_matrix((count * factor, (src, tgt)), shape=(n, n))
        self.counts_t = sp.csr_matrix((count, (tgt, src)), shape=(n, n))
        self.has_out = np.zeros(n, dtype=bool)
        self.has_out[src] = True
        leaf = leaf_values(m, metric)
        self.leaf = np.array([0.0 if self.has_out[i] else leaf.get(name, 0.0) for i, name in enumerate(names)])
        self.events = [i for i in range(n) if self.has_out[i]]

    def summation_all(self) -> dict[str, float]:
        """Every event's summation value, as a name -> value dict."""
        x = self.leaf
        while True:
            nxt = self.leaf + self.weights @ x
            if self.np.array_equal(nxt, x):
                break
            x = nxt
        names = self.names
        return {names[i]: float(x[i]) for i in self.events}

    def counts_from(self, workload: str) -> dict[str, float]:
        """The path counts from a workload to every event below it."""
        np = self.np
        c = np.zeros(len(self.names))
        w = self.index[workload]
        c[w] = 1.0
        total = np.zeros_like(c)
        reached = np.zeros(len(c), dtype=bool)
        while c.any():
            total += c
            reached |= c != 0
            c = self.counts_t @ c
        names = self.names
        return {names[i]: float(total[i]) for i in self.events if reached[i] and i != w}


class RustworkxPeer:
    """A rustworkx PyDiGraph; sums over the library's topological order."""

    def __init__(self, m, metric: str = "latency") -> None:
        import rustworkx as rx

        self.rx = rx
        names = list(dict.fromkeys(m.node_names))
        self.names = names
        self.graph = rx.PyDiGraph()
        self.graph.add_nodes_from(names)
        index = {name: i for i, name in enumerate(names)}
        self.index = index
        self.graph.add_edges_from([(index[s], index[t], (c, f)) for s, t, c, f in edges_of(m, metric)])
        leaf = leaf_values(m, metric)
        self.leaf = [leaf.get(name, 0.0) for name in names]

    def summation_all(self) -> dict[str, float]:
        g, names = self.graph, self.names
        value = list(self.leaf)
        for v in reversed(self.rx.topological_sort(g)):
            out = g.out_edges(v)
            if out:
                value[v] = sum(c * value[t] * f for _, t, (c, f) in out)
        return {names[v]: value[v] for v in g.node_indices() if g.out_degree(v)}
