import re
from collections import OrderedDict, UserDict, defaultdict
from types import MappingProxyType

import numpy as np
import pytest
from zandrel_cpp import Environment


def test_results_for_eleven_agents(make_native_env):
    particles = [float(v) for i in range(11) for v in (20 * i, 0)]
    env = make_native_env(particles, [0.0, 50.0], [0.0, 52.0], sparse_weight=0.25)
    state, observations, rewards, terminations, truncations = env.step({})
    names = [f"particle_{i}" for i in range(11)]
    for result in (observations, rewards, terminations, truncations):
        assert list(result) == names
    assert all(type(v) is float and v == 0.25 for v in rewards.values())
    assert all(v is True for v in terminations.values())
    assert all(v is False for v in truncations.values())
    assert state.shape == (49,)


@pytest.mark.parametrize(
    "kind", [dict, OrderedDict, lambda d: defaultdict(list, d), type("Actions", (dict,), {})]
)
def test_dict_subclasses_are_accepted(make_native_env, kind):
    state = make_native_env([0.0, 0.0]).step(actions=kind({"particle_0": [0.0, 1.0]}))[0]
    assert state.tolist() == [0.0, 0.1, 0.0, 1.0]


ACTION = {"particle_0": [1.0, 0.0]}


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((MappingProxyType(ACTION),), {}),
        ((UserDict(ACTION),), {}),
        ((list(ACTION.items()),), {}),
        ((None,), {}),
        ((), {}),
        ((ACTION, {}), {}),
        ((), {"action": ACTION}),
        ((ACTION,), {"actions": ACTION}),
    ],
)
def test_refused_arguments_do_not_step(make_native_env, args, kwargs):
    env = make_native_env([0.0, 0.0])
    with pytest.raises(TypeError, match=r"^step\(\): incompatible function arguments"):
        env.step(*args, **kwargs)
    assert env.step({})[0].tolist() == [0.0, 0.0, 0.0, 0.0]


def test_step_before_init():
    message = "Environment must be initialized with init() before step() can be called."
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        Environment().step({})


@pytest.mark.parametrize(
    ("particles", "boulders", "state"),
    [
        ([5.0, 0.0], [5.0, 0.0], [5, 0, 0, 0, 5, 0, 20, 0, 0]),
        ([90.0, 0.0], [0.0, 0.0, 0.0, 0.0], [90, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0]),
    ],
    ids=["particle-on-boulder", "boulder-on-boulder"],
)
def test_coincident_centres_do_not_push(make_native_env, particles, boulders, state):
    result = make_native_env(particles, boulders, [20.0, 0.0], sparse_rewards=False).step({})
    assert result[0].tolist() == state
    assert result[2]["particle_0"] == 0.0


class Hook:
    """An action key or value that runs caller code while the step reads it."""

    def __init__(self, effect):
        self.effect = effect

    def __str__(self):
        self.effect()
        return "particle_0"

    def __array__(self, dtype=None, copy=None):
        self.effect()
        return np.array([1.0, 0.0])


@pytest.mark.parametrize(
    "mutate",
    [
        lambda d: d.clear(),
        lambda d: d.pop("particle_1", None),
        lambda d: d.update({f"agent_1_{i}": [0.0, 1.0] for i in range(100)}),
    ],
    ids=["clear", "pop", "grow"],
)
def test_key_that_changes_the_dict(make_native_env, mutate):
    env = make_native_env([0.0, 0.0, 50.0, 0.0], n_physics_steps=2)
    actions = {}
    actions[Hook(lambda: mutate(actions))] = [1.0, 0.0]
    actions["particle_1"] = [0.0, 1.0]
    assert env.step(actions)[0][2:4].tolist() == [1.0, 0.0]


@pytest.mark.parametrize(
    ("method", "as_key"), [("step", True), ("reset", True), ("init", True), ("step", False)]
)
def test_nested_call_is_refused(make_native_env, method, as_key):
    env = make_native_env([0.0, 0.0])
    calls = {
        "step": lambda: env.step({}),
        "reset": env.reset,
        "init": lambda: env.init([9.0, 9.0], [], [], 1, True, True, 1.0),
    }
    hook = Hook(calls[method])
    actions = {hook: [1.0, 0.0]} if as_key else {"particle_0": hook}
    message = (
        f"Environment.{method}() was called while another call on the same environment is "
        "running (from a key's __str__, a value's __array__ or a finalizer); nested calls are "
        "not allowed"
    )
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        env.step(actions)
    env.reset()
    assert env.step({"particle_0": [1.0, 0.0]})[0].tolist() == [0.1, 0.0, 1.0, 0.0]


def run_seeded(env, steps=300):
    rng = np.random.default_rng(7)
    trace = [env.reset()[0].tobytes()]
    for _ in range(steps):
        moves = rng.uniform(-1.5, 1.5, (3, 2))
        state, _, rewards, _, _ = env.step({f"particle_{i}": moves[i] for i in range(3)})
        trace.append((state.tobytes(), rewards["particle_0"].hex()))
    return trace


def test_runs_are_bit_for_bit_reproducible(make_native_env):
    boulders = [4.0, 0.0, 14.0, 0.0, 24.0, 3.0]
    setup = ([0.0, 0.0, 10.0, 0.0, 20.0, 0.0], boulders, [30.0, 30.0, -20.0, 10.0])
    env = make_native_env(*setup, n_physics_steps=3, sparse_rewards=False)
    first = run_seeded(env)
    assert run_seeded(make_native_env(*setup, n_physics_steps=3, sparse_rewards=False)) == first
    assert run_seeded(env) == first
    # the run did push boulders
    assert np.frombuffer(first[-1][0])[12:18].tolist() != boulders
