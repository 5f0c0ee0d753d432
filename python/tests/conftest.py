"""Fixtures: the C library and the tool of a native build, for comparisons.

TARVOCOIL_LIBRARY and TARVOCOIL_TOOL name them (scripts/python-test.sh
sets both from build/); without them, the tests that need them skip.
"""
import os
from pathlib import Path

import pytest

import tarvocoil
from scenes import CReference

REPO = Path(__file__).resolve().parents[2]


def pytest_configure(config):
    # A warning from the package where none belongs (frame copies, say) fails.
    config.addinivalue_line("filterwarnings", "error")


def _built(var, default):
    path = os.environ.get(var) or str(REPO / default)
    if not Path(path).exists():
        if os.environ.get(var):
            pytest.fail(f"{var}={path} does not exist")
        pytest.skip(f"needs a native build ({default}) or {var}")
    return path


@pytest.fixture(scope="session")
def clib():
    return CReference(_built("TARVOCOIL_LIBRARY", "build/libtarvocoil.so"))


@pytest.fixture(scope="session")
def tool():
    return _built("TARVOCOIL_TOOL", "build/tools/tarvocoil")


@pytest.fixture(scope="session", autouse=True)
def installed_package():
    # The tests are for the installed package, never the source folder.
    assert (Path(tarvocoil.__file__).parent / "__init__.pyi").exists()
    assert Path(tarvocoil.__file__).parent != REPO / "python" / "tarvocoil"
