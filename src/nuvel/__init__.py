"""Performance model of a hardware architecture as a directed graph."""

from nuvel._core import NuvelGraph

__all__ = ["NuvelGraph"]
