import importlib
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import zandrel_cpp
from zandrel_cpp import Environment

SEQ = "collections.abc.Sequence[typing.SupportsFloat]"
NAMES = ("particle_positions", "boulder_positions", "landmark_positions", "n_physics_steps")
NAMES += ("sparse_rewards", "visit_all", "sparse_weight")
BASE = dict(zip(NAMES, ([0.0, 0.0], [5.0, 0.0], [20.0, 0.0], 1, False, True, 1.0), strict=True))
MISSING = object()


def exactly(message):
    return f"^{re.escape(message)}$"


@pytest.mark.parametrize(
    ("method", "signature", "doc"),
    [
        (
            Environment.init,
            f"init(self: zandrel_cpp.Environment, particle_positions: {SEQ}, boulder_positions: "
            f"{SEQ}, landmark_positions: {SEQ}, n_physics_steps: typing.SupportsInt, "
            "sparse_rewards: bool, visit_all: bool, sparse_weight: typing.SupportsFloat) -> None",
            "Initializes the environment with starting positions for all entities.",
        ),
        (
            Environment.reset,
            "reset(self: zandrel_cpp.Environment) -> tuple",
            "Resets the environment to the initial state and returns (state, observations).",
        ),
        (
            Environment.step,
            "step(self: zandrel_cpp.Environment, actions: dict) -> tuple",
            "Steps the environment with a dictionary of actions.",
        ),
    ],
)
def test_docs(method, signature, doc):
    assert zandrel_cpp.__doc__ == "Pybind11 backend for the Zandrel PettingZoo environment"
    assert Environment.__doc__ is None
    assert method.__doc__ == f"{signature}\n\n{doc}\n"


def test_construction_writes_one_line_per_instance(capfd):
    assert Environment() is not Environment()
    assert capfd.readouterr().out == "C++ ZandrelEnvironment constructed.\n" * 2
    with pytest.raises(TypeError, match=r"^__init__\(\): incompatible constructor arguments"):
        Environment(1)
    assert capfd.readouterr().out == ""


def play(env):
    start, _ = env.reset()
    state, _, rewards, _, _ = env.step({"particle_0": [1.0, 0.0]})
    return start.tolist(), state.tolist(), rewards["particle_0"]


def configured(args):
    env = Environment()
    env.init(**args)
    return env


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("particle_positions", [0, 0]),
        ("particle_positions", (v for v in (0.0, 0.0))),
        ("boulder_positions", (5.0, 0.0)),
        ("landmark_positions", np.array([20.0, 0.0])),
        ("landmark_positions", range(20, -1, -20)),
        ("n_physics_steps", np.int64(1)),
        ("sparse_rewards", None),
        ("sparse_weight", 1),
    ],
)
def test_init_converts(name, value):
    assert play(configured({**BASE, name: value})) == play(configured(BASE))


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("n_physics_steps", 5.0),
        ("n_physics_steps", 2**31),
        ("particle_positions", "0,0"),
        ("particle_positions", np.zeros((1, 2))),
        ("boulder_positions", [5.0, "0"]),
        ("sparse_rewards", "yes"),
        ("sparse_weight", None),
        ("sparse_weight", MISSING),
        ("colour", 1),
    ],
)
def test_init_refuses_without_changing_the_record(name, value):
    env = configured(BASE)
    before, _ = env.reset()
    # the refused call carries other positions, which a reset would show had it run
    args = {**BASE, "particle_positions": [9.0, 9.0], name: value}
    if value is MISSING:
        del args[name]
    with pytest.raises(TypeError, match=r"^init\(\): incompatible function arguments"):
        env.init(**args)
    assert np.array_equal(env.reset()[0], before)


def test_no_dynamic_attributes_and_subclass_must_call_base_init():
    with pytest.raises(AttributeError):
        Environment().speed = 1

    class Forgetful(Environment):
        def __init__(self):
            pass

    class Careful(Environment):
        def __init__(self):
            super().__init__()
            self.init([1.0, 2.0], [], [], 1, True, True, 1.0)

    message = "zandrel_cpp.Environment.__init__() must be called when overriding __init__"
    with pytest.raises(TypeError, match=exactly(message)):
        Forgetful()
    assert Careful().reset()[0].tolist() == [1.0, 2.0, 0.0, 0.0]


@pytest.mark.parametrize("particles", [None, []])
def test_reset_needs_particles(particles):
    env = Environment()
    if particles is not None:
        env.init(particles, [5.0, 0.0], [20.0, 0.0], 1, True, True, 1.0)
    message = "Environment must be initialized with init() before reset() can be called."
    with pytest.raises(RuntimeError, match=exactly(message)):
        env.reset()


@pytest.mark.parametrize(("visit_all", "length"), [(True, 2_500_200_000), (False, 250_000)])
def test_init_refuses_counts_beyond_int32(visit_all, length):
    env = configured(BASE)
    before = play(env)
    huge = [0.0] * 100_000
    message = (
        f"init() got 0 particles, 50000 boulders and 50000 landmarks: state length {length} "
        "and landmark-boulder flag count 2500000000 must both be at most 2147483647"
    )
    with pytest.raises(ValueError, match=exactly(message)):
        env.init([], huge, huge, 1, True, visit_all, 1.0)
    # the previous configuration is still in place
    assert play(env) == before


# the module under test was built for the interpreter running the tests
BUILT_FOR = f"{sys.version_info.major}.{sys.version_info.minor}"


def other_interpreters():
    root = Path.home() / ".pyenv" / "versions"
    minors = [m for m in ("3.10", "3.11", "3.12", "3.13") if m != BUILT_FOR]
    return [str(p) for m in minors for p in sorted(root.glob(f"{m}.*/bin/python{m}"))[:1]]


@pytest.mark.parametrize("python", other_interpreters() or [None])
def test_other_interpreter_is_refused(python):
    if python is None:
        pytest.skip(f"no Python 3.10 to 3.13 interpreter other than {BUILT_FOR} installed")
    script = (
        "import importlib.util as u, sys\n"
        "try:\n"
        "    u.module_from_spec(u.spec_from_file_location('zandrel_cpp', sys.argv[1]))\n"
        "except ImportError as error:\n"
        "    print(error, sys.version, sep='\\n')\n"
    )
    origin = importlib.util.find_spec("zandrel_cpp").origin
    run = subprocess.run(
        [python, "-c", script, origin], capture_output=True, text=True, check=True, timeout=60
    )
    message, version = run.stdout.splitlines()
    assert version.startswith(Path(python).name.removeprefix("python"))
    assert message == (
        f"Python version mismatch: module was compiled for Python {BUILT_FOR}, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_reimport_gives_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "zandrel_cpp")
    assert importlib.import_module("zandrel_cpp") is zandrel_cpp
