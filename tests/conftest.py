import importlib.util
import sys
from pathlib import Path

import pytest
import zandrel_cpp

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
OPTIONS = {"n_physics_steps": 1, "sparse_rewards": True, "visit_all": True, "sparse_weight": 1.0}


@pytest.fixture
def make_env():
    """Factory for an initialised environment; options default to one sparse sub-step."""

    def make(particles, boulders=(), landmarks=(), **options):
        env = zandrel_cpp.Environment()
        env.init(list(particles), list(boulders), list(landmarks), **{**OPTIONS, **options})
        return env

    return make


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
