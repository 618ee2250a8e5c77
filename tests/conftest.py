import os
import sys

import pytest

# Tests run against the module in the build folder.
_build = os.environ.get("SC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
sys.path.insert(0, os.path.abspath(_build))

# The sanitizer build (make test-sanitize) runs the same suite. Its allocator ends the process
# on an allocation it cannot serve instead of throwing, and its runtime is a dependency of the
# module, so the tests of failing allocations and of the release link are left to the release
# build.
SANITIZED = os.environ.get("SC_SANITIZED") == "1"


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
