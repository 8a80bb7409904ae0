"""Performance model of a hardware architecture as a directed graph."""

from nuvel._core import NuvelGraph  # first: the extension imports logging itself

import logging  # noqa: E402
from importlib.metadata import version  # noqa: E402

__all__ = ["NuvelGraph"]
__version__ = version("nuvel")

# A library leaves output to the application: without this handler, Python's
# last-resort handler would print every error record to stderr even when the
# caller catches the exception. Records still reach the application's handlers.
logging.getLogger("nuvel_core").addHandler(logging.NullHandler())
