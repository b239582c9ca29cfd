import importlib.util
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture
def import_example(monkeypatch):
    """Import a script of examples/ by name, as a module registered for the test."""

    def load(name):
        module_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
        module = importlib.util.module_from_spec(module_spec)
        # dataclasses and cloudpickle look the module up by name
        monkeypatch.setitem(sys.modules, name, module)
        module_spec.loader.exec_module(module)
        return module

    return load
