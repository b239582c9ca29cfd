"""Hostile arguments: every call returns a well-formed result or raises, and never crashes."""

import collections
import math
import re
import struct

import numpy as np
import pytest
import zandrel_cpp
from hypothesis import given, settings
from hypothesis import strategies as st

# a fixed budget and no example database: every run tries the same inputs
HOSTILE = settings(max_examples=400, derandomize=True, database=None, deadline=None)
NESTED = (
    "Environment.{}() was called while another call on the same environment is running "
    "(from a key's __str__, a value's __array__ or a finalizer); nested calls are not allowed"
)
NO_INIT = "Environment must be initialized with init() before reset() can be called."
INT32 = range(-(2**31), 2**31)
NAN, INF = math.nan, math.inf


def state_length(n_particles, n_boulders, n_landmarks, visit_all):
    flags = n_landmarks * n_boulders if visit_all else n_boulders
    return 4 * n_particles + 2 * n_boulders + 2 * n_landmarks + flags


def check_result(result, n_agents, length):
    assert type(result) is tuple
    assert len(result) in (2, 5)
    state, observations, *dicts = result
    assert (type(state), state.dtype, state.shape) == (np.ndarray, np.float64, (length,))
    names = [f"particle_{i}" for i in range(n_agents)]
    assert list(observations) == names
    for i, name in enumerate(names):
        # the agent's block of four and particle 0's change places
        order = np.arange(length)
        order[:4], order[4 * i : 4 * i + 4] = order[4 * i : 4 * i + 4].copy(), order[:4].copy()
        assert observations[name].dtype == np.float64
        assert observations[name].tobytes() == state[order].tobytes()
    if dicts:
        rewards, terminations, truncations = dicts
        assert list(rewards) == list(terminations) == list(truncations) == names
        assert {type(r) for r in rewards.values()} <= {float}
        assert len({struct.pack("d", r) for r in rewards.values()}) <= 1
        assert set(terminations.values()) in ({True}, {False}, set())
        assert set(truncations.values()) <= {False}


def arg(good, bad):
    """(value, accepted) pairs: values init takes, and values it refuses."""
    return good.map(lambda v: (v, True)) | st.sampled_from(bad).map(lambda v: (v, False))


special = st.sampled_from([0.0, -0.0, 1e300, -1e300, 5e-324, INF, -INF, NAN])
points = st.lists(st.floats() | special | st.floats(-20, 20), max_size=9)
positions = arg(
    points
    | points.map(tuple)
    | points.map(np.array)
    | st.lists(st.integers(-(2**62), 2**62), max_size=6),
    ["ab", b"ab", None, 3.0, [1.0, "x"], [1.0, None], np.zeros((1, 2))],
)
steps = arg(st.integers(-3, 4) | st.integers(INT32.start, INT32.stop - 1), [2**31, 5.0, "5", None])
flag = arg(st.sampled_from([True, False, None, 0, 1.0, np.bool_(True)]), ["yes", [1], object()])
weight = arg(st.floats() | st.sampled_from([1, np.float32(0.5)]), [None, "1", [1.0]])


@HOSTILE
@given(p=positions, b=positions, lm=positions, n=steps, sparse=flag, visit=flag, w=weight)
def test_init_takes_any_values_and_refuses_wrong_types(p, b, lm, n, sparse, visit, w):
    env = zandrel_cpp.Environment()
    args = (p, b, lm, n, sparse, visit, w)
    if not all(ok for _, ok in args):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            env.init(*(v for v, _ in args))
        # the refused call left the record untouched: never initialised
        with pytest.raises(RuntimeError, match=re.escape(NO_INIT)):
            env.reset()
        return
    env.init(*(v for v, _ in args))
    p, b, lm = (np.asarray(v, dtype=np.float64) for v, _ in (p, b, lm))
    np_, nb, nl = len(p) // 2, len(b) // 2, len(lm) // 2
    length = state_length(np_, nb, nl, bool(visit[0]))
    if len(p) == 0:
        with pytest.raises(RuntimeError, match=re.escape(NO_INIT)):
            env.reset()
    else:
        state = env.reset()[0]
        # start positions reach the state bit for bit, NaN, inf and -0.0 included
        particles = state[: 4 * np_].reshape(-1, 4)
        assert particles[:, :2].tobytes() == p[: 2 * np_].tobytes()
        assert not particles[:, 2:].any()
        rest = state[4 * np_ :]
        assert rest[: 2 * (nb + nl)].tobytes() == b[: 2 * nb].tobytes() + lm[: 2 * nl].tobytes()
        assert not rest[2 * (nb + nl) :].any()
    if n[0] <= 4:  # a larger count would only take long
        check_result(env.step({f"particle_{i}": [1.0, -0.5] for i in range(np_)}), np_, length)


CALLS = {
    "init": lambda env: env.init([0.0, 0.0], [], [], 1, True, True, 1.0),
    "reset": lambda env: env.reset(),
    "step": lambda env: env.step({}),
}


class Hostile:
    """A key or value that runs Python code inside the call."""

    def __init__(self, kind):
        self.kind, self.env, self.other, self.actions = kind, None, None, {}

    def __repr__(self):
        return f"Hostile({self.kind!r})"

    def act(self):
        kind, env = self.kind, self.env
        if kind == "raise":
            raise LookupError("boom")
        if kind == "grow":  # enough entries to resize the dict under the iteration
            self.actions.update({f"particle_{i}x{id(self)}": [0.5, 0.5] for i in range(20)})
        elif kind == "clear":
            self.actions.clear()
        elif kind == "other":
            self.other.reset()
            self.other.step({"particle_0": [1.0, 0.0]})
        elif kind.startswith("nested"):
            _, method, mode = kind.split("_")
            with pytest.raises(RuntimeError) as caught:
                CALLS[method](env)
            assert str(caught.value) == NESTED.format(method)
            if mode == "raise":
                raise caught.value

    def __str__(self):
        self.act()
        return {"surrogate": "particle_\ud800", "notstr": 5}.get(self.kind, "particle_0")

    def __array__(self, dtype=None, copy=None):
        self.act()
        return np.array([0.25, -0.5])


KINDS = ["raise", "grow", "clear", "other", "surrogate", "notstr"]
KINDS += [f"nested_{m}_{e}" for m in ("init", "reset", "step") for e in ("raise", "swallow")]
chars = st.characters(exclude_categories=()) | st.characters(categories=["Cs"])
text = st.text(chars | st.sampled_from("_0123456789+- \t\x00"), max_size=8)
keys = st.one_of(
    st.integers(-2, 5).map("particle_{}".format),
    st.integers(),
    st.builds(str.__add__, st.sampled_from(["", "particle_", "agent_", "_"]), text),
    st.sampled_from(["particle_99999999999", "particle_ 3", "particle_1\x00x", "particle_12a"]),
    st.sampled_from([None, 1.5, NAN, b"particle_1", ("particle_", 1), frozenset()]),
    st.sampled_from(KINDS).map(Hostile),
)


class Value:
    """An action value; size is what NumPy makes of it, None when conversion may fail."""

    def __init__(self, obj, size, intact=lambda: True):
        self.obj, self.size, self.intact = obj, size, intact


def frozen(array):
    before = array.tobytes()
    return Value(array, array.size, lambda: array.tobytes() == before)


def view(base, make):
    # the elements of the buffer outside the view keep their values
    outside = np.ones(base.size, dtype=bool)
    outside[make(np.arange(base.size, dtype=np.float64)).reshape(-1).astype(int)] = False
    kept, shown = base[outside].tobytes(), make(base)
    return Value(shown, shown.size, lambda: base[outside].tobytes() == kept)


def readonly(array):
    array.setflags(write=False)
    return frozen(array)


buffer = st.lists(st.floats(-3, 3) | special, min_size=6, max_size=6).map(np.array)
stride0 = np.lib.stride_tricks.as_strided
# complex, object, text and ragged values: NumPy may or may not convert them
UNSURE = [[1j, 3.0], np.array([1, None], object), np.array(["1", "x"]), [[1.0], [2.0, 3.0]]]
values = st.one_of(
    points.map(lambda v: Value(v[:4], len(v[:4]))),
    st.tuples(  # small magnitudes, so that making the array casts without a warning
        st.lists(st.floats(0, 3), min_size=1, max_size=4),
        st.sampled_from(["<f8", ">f8", "f4", "f2", "i8", "u8", "?"]),
        st.sampled_from([(-1,), (1, -1), (-1, 1)]),
    ).map(lambda a: Value(np.array(a[0]).astype(a[1]).reshape(a[2]), len(a[0]))),
    st.sampled_from([np.float64(2.0), np.array(1.0), np.empty(0), None, True]).map(
        lambda v: Value(v, np.size(v))
    ),
    buffer.map(lambda b: view(b, lambda a: a[::2])),
    buffer.map(lambda b: view(b, lambda a: a[::-2])),
    buffer.map(lambda b: view(b, lambda a: a.reshape(3, 2)[:, 1:])),
    buffer.map(lambda b: view(b, lambda a: a.reshape(3, 2).T)),
    buffer.map(lambda b: view(b, lambda a: stride0(a[2:], (4,), (0,)))),
    buffer.map(readonly),
    buffer.map(lambda b: frozen(np.broadcast_to(b[:1], (3,)))),
    buffer.map(lambda b: frozen(b.astype(">f8"))),
    st.sampled_from([*UNSURE, "ab", {}, object()]).map(lambda v: Value(v, None)),
    st.sampled_from(KINDS).map(lambda k: Value(Hostile(k), None)),
)


def entry_error(key, value):
    """(type, message) that intake raises for one entry, False for none, None if unknown."""
    if isinstance(key, Hostile) or value.size is None:
        return None
    text = str(key)
    if any("\ud800" <= c <= "\udfff" for c in text):
        return None  # not encodable: the codec's own error
    # the integer after the first "_" (or at the start), read like std::stoi
    head, underscore, tail = text.partition("_")
    number = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", tail if underscore else head)
    if number is None:
        return ValueError, "invalid stoi argument"
    if int(number[1]) not in INT32:
        return IndexError, "stoi argument out of range"
    if value.size < 2:
        count = f"has {value.size} component(s), expected at least 2 (x, y)"
        return ValueError, f"action for key '{text}' {count}"
    return False


scene = st.tuples(
    st.lists(st.floats(-10, 10) | special, max_size=9),
    st.lists(st.floats(-10, 10) | special, max_size=7),
    st.lists(st.floats(-10, 10), max_size=5),
    st.integers(-1, 3),
    st.booleans(),
    st.booleans(),
)
reordered = type("Reordered", (dict,), {"__iter__": lambda self: iter([])})


@HOSTILE
@given(
    scene=scene,
    entries=st.lists(st.tuples(keys, values), max_size=5),
    kind=st.sampled_from([dict, collections.OrderedDict, reordered]),
)
def test_step_survives_any_actions(scene, entries, kind):
    env, other = zandrel_cpp.Environment(), zandrel_cpp.Environment()
    env.init(*scene, 1.0)
    other.init([1.0, 2.0], [4.0, 2.0], [9.0, 9.0], 2, False, True, 1.0)
    n = len(scene[0]) // 2
    length = state_length(n, len(scene[1]) // 2, len(scene[2]) // 2, scene[5])
    actions, meta = kind(), {}
    for key, value in entries:
        actions[key], meta[key] = value.obj, value
    for hostile in [*meta, *(v.obj for v in meta.values())]:
        if isinstance(hostile, Hostile):
            hostile.env, hostile.other, hostile.actions = env, other, actions
    # when every entry is predictable, the first failing one decides the outcome
    outcomes = [entry_error(k, v) for k, v in meta.items()]
    expected = None if None in outcomes else next(filter(None, outcomes), False)
    if scene[3] <= 0:
        expected = False  # no sub-step reads the dict
    try:
        result, error = env.step(actions), None
    except Exception as exc:
        result, error = None, exc
    if error is None:
        assert not expected
        check_result(result, n, length)
    else:
        assert not isinstance(error, SystemError)
        assert expected is None or (type(error), str(error)) == expected
    assert all(v.intact() for v in meta.values())
    # the environment stays usable
    if n:
        check_result(env.reset(), n, length)
    check_result(env.step({"particle_0": [0.5, 0.5]}), n, length)


@pytest.mark.parametrize("key", ["agent_1\u00e9", "particle_1\x00x"])
@pytest.mark.parametrize(("value", "size"), [([], 0), (None, 1), (np.zeros((1, 1)), 1)])
def test_short_action_quotes_its_whole_key(key, value, size):
    env = zandrel_cpp.Environment()
    env.init([0.0, 0.0, 5.0, 5.0], [], [], 1, True, True, 1.0)
    message = f"action for key '{key}' has {size} component(s), expected at least 2 (x, y)"
    with pytest.raises(ValueError, match=r"^action for key") as caught:
        env.step({"particle_0": [1.0, 0.0], key: value})
    assert str(caught.value) == message
    # the entry before it was applied
    assert env.step({})[0][:2].tolist() == [0.1, 0.0]


@pytest.mark.parametrize(
    ("particles", "boulders", "landmarks", "after", "reward"),
    [
        # differences of 2e300 square to inf: no contact, no separation
        ([1e300, 0.0], [-1e300, 0.0, 1e300, 1e300], [], [1e300, 0, -1e300, 0, 1e300, 1e300], 0),
        # huge coordinates with small differences still interact
        ([0.0, 0.0], [1e200, 0.0, 1e200, 1.0], [], [-0.1, 0.0, 1e200, -4.5, 1e200, 5.5], 0),
        # an action moves 0.1, which 1e300 absorbs
        ([1e300, -1e300], [], [], [1e300, -1e300], 0),
        # a boulder exactly on its landmark at 1e300 has arrived
        ([0.0, 0.0], [1e300, 1e300], [1e300, 1e300], [-0.1, 0.0, 1e300, 1e300], 2),
        # inf - inf is NaN: no arrival, no contact
        ([0.0, 0.0], [INF, 0.0], [INF, 0.0], [-0.1, 0.0, INF, 0.0], 0),
        # NaN positions touch nothing and stay NaN
        ([NAN, 1.0], [0.0, 1.0], [0.0, 3.0], [NAN, 1.0, 0.0, 1.0], 2),
        ([0.0, 0.0], [NAN, 0.0], [0.0, 0.0], [-0.1, 0.0, NAN, 0.0], 0),
    ],
)
@pytest.mark.parametrize("sparse", [True, False])
def test_extreme_coordinates(particles, boulders, landmarks, after, reward, sparse):
    env = zandrel_cpp.Environment()
    env.init(particles, boulders, landmarks, 1, sparse, True, 2.0)
    # the action points away from every boulder
    state, _, rewards, terminations, _ = env.step({"particle_0": [-1.0, 0.0]})
    np.testing.assert_array_equal(np.delete(state[: 4 + len(boulders)], [2, 3]), after)
    assert state[2:4].tolist() == [-1.0, 0.0]
    # with no eligible landmark in reach there is no shaping either
    assert rewards["particle_0"] == reward
    # a boulder that has not arrived keeps the episode going
    assert terminations["particle_0"] is (reward > 0 or not landmarks)
