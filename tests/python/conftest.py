import os
import pathlib

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def dev_key():
    """The path of a development key by its role name."""
    return lambda role: SOURCE_DIR / "keys" / "dev" / f"{role}.pem"


@pytest.fixture
def bin_dir():
    return pathlib.Path(os.environ["MIF_BIN_DIR"])
