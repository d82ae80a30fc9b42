import importlib

import pytest


@pytest.mark.parametrize(
    "name",
    ["corvanti.utilities.tessel32", "corvanti.utilities.tessel32_dag", "corvanti.wrapper", "corvanti.utilities.jsonweave"],
)
def test_native_modules_import(name):
    mod = importlib.import_module(name)
    assert mod.__file__.endswith(".so")
