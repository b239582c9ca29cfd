import math
import re
from collections import OrderedDict

import numpy as np
import pytest

R2 = 1.0 / math.sqrt(2.0)
FIRST = [0.5144957554275266, 0.8574929257125443]
READ_ONLY = np.array([3.0, 4.0])
READ_ONLY.flags.writeable = False


def step_one(make_native_env, value, **options):
    """Velocity of a lone particle after one step with the given action."""
    return make_native_env([0.0, 0.0], **options).step({"particle_0": value})[0][2:4].tolist()


@pytest.mark.parametrize(
    ("value", "velocity", "after"),
    [
        (np.array([3.0, 4.0]), [R2, R2], [R2, R2]),
        (np.array([-5.0, 0.5]), [-1 / math.sqrt(1.25), 0.5 / math.sqrt(1.25)], None),
        (np.array([0.6, 0.8]), [0.6, 0.8], None),
        (np.array([2.0, 0.0]), [1.0, 0.0], None),
        (np.array([3.0, 4.0, 7.0]), [R2, R2], [R2, R2, 7.0]),
        ([3.0, 4.0], [R2, R2], [3.0, 4.0]),
        ((3.0, 4.0), [R2, R2], [3.0, 4.0]),
        ([3, 4.0], [R2, R2], [3.0, 4.0]),
        (np.array([3.0, 4.0], dtype=np.float32), [R2, R2], [3.0, 4.0]),
        (np.array([3.0, 4.0], dtype=">f8"), [R2, R2], [3.0, 4.0]),
        (READ_ONLY, [R2, R2], [3.0, 4.0]),
    ],
)
def test_clip_normalise_and_write_back(make_native_env, value, velocity, after):
    # later sub-steps read the written-back action and leave it as it is
    assert step_one(make_native_env, value, n_physics_steps=3) == velocity
    assert np.asarray(value).tolist() == (velocity if after is None else after)


@pytest.mark.parametrize(
    ("value", "substeps", "velocity"),
    [
        (np.array([0.6, 1.0]), 1, FIRST),
        # the first result has length 1.0000000000000002 and is normalised again
        (np.array([0.6, 1.0]), 2, [0.5144957554275265, 0.8574929257125441]),
        ([0.6, 1.0], 2, FIRST),
    ],
)
def test_write_back_renormalises_in_later_substeps(make_native_env, value, substeps, velocity):
    assert step_one(make_native_env, value, n_physics_steps=substeps) == velocity


@pytest.mark.parametrize(
    ("key", "index"),
    [
        ("particle_12abc", 12),
        ("particle_ 3", 3),
        ("particle_3_extra", 3),
        ("particle_\t+0x9", 0),
        ("agent_2", 2),
        ("7", 7),
        (1, 1),
        ("particle_13", None),
        ("particle_-1", None),
        ("particle_2147483647", None),
    ],
)
def test_key_names_agent(make_native_env, key, index):
    array = np.array([3.0, 4.0])
    state = make_native_env([float(v) for i in range(13) for v in (20 * i, 0)]).step({key: array})[
        0
    ]
    expected = [[R2, R2] if i == index else [0.0, 0.0] for i in range(13)]
    assert [state[4 * i + 2 : 4 * i + 4].tolist() for i in range(13)] == expected
    # ignored entries are still normalised in place
    assert array.tolist() == [R2, R2]


KEY_ERRORS = [
    *((key, ValueError, "invalid stoi argument") for key in ("particle", "particle_", "x_y_3")),
    ("particle_x1", ValueError, "invalid stoi argument"),
    ("particle_\u0663", ValueError, "invalid stoi argument"),
    ("particle_99999999999", IndexError, "stoi argument out of range"),
    ("particle_2147483648", IndexError, "stoi argument out of range"),
    ("particle_-2147483649", IndexError, "stoi argument out of range"),
]
SHORT = [([], 0), (1.0, 1), (None, 1), (np.array(2.0), 1), ([[2.0]], 1)]
SHORT_ERROR = "action for key 'particle_0' has {} component(s), expected at least 2 (x, y)"


@pytest.mark.parametrize(
    ("key", "value", "error", "message"),
    [(key, [1.0, 0.0], error, message) for key, error, message in KEY_ERRORS]
    + [("particle_0", value, ValueError, SHORT_ERROR.format(n)) for value, n in SHORT],
)
def test_bad_entry_stops_intake(make_native_env, key, value, error, message):
    env = make_native_env([0.0, 0.0, 50.0, 0.0])
    first, last = np.array([3.0, 4.0]), np.array([3.0, 4.0])
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        env.step({"agent_0": first, key: value, "particle_1": last})
    assert first.tolist() == [R2, R2]
    assert last.tolist() == [3.0, 4.0]
    # the entry before the bad one was applied: the next physics places particle 0
    state = env.step({})[0]
    assert state.tolist() == [0.0 + R2 * 0.1, 0.0 + R2 * 0.1, R2, R2, 50.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("ordered", [False, True])
def test_last_entry_for_an_agent_wins(make_native_env, ordered):
    actions = {"particle_0": [1.0, 0.0], "agent_0": [0.0, -1.0]}
    if ordered:
        # iteration order changes, insertion order does not
        actions = OrderedDict(actions)
        actions.move_to_end("particle_0")
    state = make_native_env([0.0, 0.0]).step(actions)[0]
    assert state[2:4].tolist() == [0.0, -1.0]


def test_nan_component_gives_nan_velocity_and_position(make_native_env):
    state = make_native_env([0.0, 0.0]).step({"particle_0": [float("nan"), 0.5]})[0]
    assert np.isnan(state).all()


@pytest.mark.parametrize(
    ("memory", "view", "after"),
    [
        ([3, 9, 4, 9, 9], np.s_[::2], [R2, 9, R2, 9, 9]),
        ([9, 4, 3], np.s_[::-1], [9, R2, R2]),
        ([[3, 9], [4, 9], [9, 9]], np.s_[:, 0], [[R2, 9], [R2, 9], [9, 9]]),
        ([[3, 9], [4, 9]], np.s_[:, :1], [[R2, 9], [R2, 9]]),
        ([[3, 9, 4, 9], [9, 9, 9, 9]], np.s_[:, ::2], [[R2, 9, R2, 9], [9, 9, 9, 9]]),
    ],
)
def test_strided_view_is_read_and_written_through_its_strides(make_native_env, memory, view, after):
    memory = np.array(memory, dtype=np.float64)
    assert step_one(make_native_env, memory[view]) == [R2, R2]
    assert memory.tolist() == after


class CountingKey(str):
    """A str subclass whose conversion runs Python code, counted per call."""

    calls = 0

    def __str__(self):
        CountingKey.calls += 1
        return str.__str__(self)


def test_keys_with_python_conversions_are_read_every_sub_step(make_native_env):
    CountingKey.calls = 0
    env = make_native_env([0.0, 0.0], n_physics_steps=4)
    env.step({"particle_0": np.array([0.6, 1.0]), CountingKey("agent_0"): [0.6, 1.0]})
    assert CountingKey.calls == 4


def test_views_of_one_array_are_read_afresh_every_sub_step(make_native_env):
    # the read-only view sees what the write-back into its base left there
    base = np.array([0.6, 1.0])
    view = base.view()
    view.flags.writeable = False
    env = make_native_env([0.0, 0.0, 20.0, 0.0], n_physics_steps=2)
    velocities = env.step({"particle_0": base, "particle_1": view})[0][[2, 3, 6, 7]]
    second = [0.5144957554275265, 0.8574929257125441]
    assert velocities.tolist() == second + second
