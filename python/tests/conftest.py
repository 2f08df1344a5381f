import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def data_dir():
    return pathlib.Path(os.environ.get("LDPCSW_DATA_DIR", ROOT / "data"))


@pytest.fixture(scope="session")
def sweep_program():
    """The ldpcsw-sweep built beside the module, or None (the identity test is then skipped)."""
    bin_dir = pathlib.Path(os.environ.get("LDPCSW_BIN_DIR", ROOT / "build" / "bin"))
    path = bin_dir / "ldpcsw-sweep"
    return path if path.exists() else None


@pytest.fixture(scope="session")
def code504(data_dir):
    import ldpcsw

    return ldpcsw.read_matrix(str(data_dir / "Reg504252.dat"))
