import os
import sys

import pytest

# Tests run against the module in the build folder.
_build = os.environ.get("SC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
sys.path.insert(0, os.path.abspath(_build))

from sc_testing import SANITIZED  # noqa: E402 - the module is importable from here on


def pytest_configure(config):
    config.addinivalue_line("markers", "failing_allocation: needs an allocation that fails with MemoryError")
    config.addinivalue_line("markers", "release_link: checks the release build's linkage")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="not meaningful under the sanitizers")
    for item in items:
        if item.get_closest_marker("failing_allocation") or item.get_closest_marker("release_link"):
            item.add_marker(skip)
