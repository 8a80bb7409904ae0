"""Fixtures shared by the suite: the random seed, the log capture and a Driver (tests/pure_compare.py)."""

import logging
import os

import pytest
from pure_compare import Capture, Driver

# The native bridge fixes a target's level at its first record, for the whole
# process. Open "nuvel_core" (and so "nuvel_core.aggregate") before any record
# can be emitted, so that every record reaches caplog in every test.
logging.getLogger("nuvel_core").setLevel(logging.DEBUG)

SEED = int(os.environ.get("NUVEL_SEED", "0"))


def pytest_report_header(config):
    return f"random tests start at seed {SEED} (set NUVEL_SEED to change it)"


@pytest.fixture
def seed():
    """The first seed of the random tests; each derives its own from it."""
    return SEED


@pytest.fixture
def capture():
    handler = Capture()
    yield handler
    handler.detach()


@pytest.fixture
def driver():
    return Driver()

