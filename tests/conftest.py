import os
import sys

# Tests run against the module in the build folder.
_build = os.environ.get("SC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
sys.path.insert(0, os.path.abspath(_build))
