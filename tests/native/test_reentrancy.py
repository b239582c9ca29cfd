"""Python code that runs inside a call cannot re-enter the same environment."""

import gc
import sys

import numpy as np
import pytest
import zandrel_cpp

NESTED = (
    "Environment.{}() was called while another call on the same environment is running "
    "(from a key's __str__, a value's __array__ or a finalizer); nested calls are not allowed"
)
START = ([0.0, 0.0, 3.0, 0.0], [5.0, 0.0, 12.0, 1.0], [8.0, 0.0], 3, False, True, 1.0)
ACTIONS = {"particle_0": [1.0, 0.2], "particle_1": [-0.5, 1.0]}
CALLS = {
    "init": lambda env: env.init([1.0, 1.0], [], [], 1, True, True, 1.0),
    "reset": lambda env: env.reset(),
    "step": lambda env: env.step({"particle_0": [0.0, 1.0]}),
}


def make():
    env = zandrel_cpp.Environment()
    env.init(*START)
    env.reset()
    return env


def flat(result):
    """Everything a result holds, bit for bit."""
    state, observations, *rest = result
    arrays = [state, *observations.values()]
    return [a.tobytes() for a in arrays], list(observations), [list(d.items()) for d in rest]


class Hook:
    """Calls a method of an environment and records what the call raised."""

    def __init__(self, env, method, reraise=False):
        self.env, self.method, self.reraise = env, method, reraise
        self.errors = []

    def __call__(self):
        try:
            CALLS[self.method](self.env)
        except RuntimeError as exc:
            self.errors.append(str(exc))
            if self.reraise:
                raise
        else:
            self.errors.append(None)


class Key(str):
    # a str subclass is not an exact str, so intake calls its __str__
    hook = None

    def __str__(self):
        self.hook()
        return str.__str__(self)


class Value:
    def __init__(self, action, hook):
        self.action, self.hook = action, hook

    def __array__(self, dtype=None, copy=None):
        self.hook()
        return np.array(self.action)


class Doomed:
    def __init__(self, hook):
        self.hook = hook

    def __del__(self):
        self.hook()


@pytest.fixture
def armed_gc():
    """Returns a function that makes the next container allocation collect cycles."""
    threshold, enabled = gc.get_threshold(), gc.isenabled()
    gc.collect()
    gc.disable()

    def arm(threshold=1):
        gc.set_threshold(threshold)
        gc.enable()

    yield arm
    gc.set_threshold(*threshold)
    if enabled:
        gc.enable()


def doomed_cycle(hook):
    # unreachable once this returns: only the cycle collector frees it
    cycle = Doomed(hook)
    cycle.cycle = cycle


def hostile_actions(trigger, hook, arm):
    """ACTIONS with particle_0's entry running hook inside the call."""
    key, value = Key("particle_0"), ACTIONS["particle_0"]
    if trigger == "value":
        key, value = "particle_0", Value(value, hook)
    elif trigger == "key":
        key.hook = hook
    elif trigger == "finalizer":
        # the last reference goes inside the first __str__, so __del__ runs there
        key.hook = [Doomed(hook)].clear
    else:
        # the collector is armed once the call is running
        doomed_cycle(hook)
        key.hook = arm
    return {key: value, "particle_1": ACTIONS["particle_1"]}


# from Python 3.12 on, the cycle collector runs at the evaluation loop's next check of
# pending work, no longer at the allocation that crosses the threshold, so a collection
# cannot fall inside a native call there
COLLECTS_INSIDE_CALLS = pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="Python 3.12 and later never collect cycles inside a native call",
)
TRIGGERS = ["key", "value", "finalizer", pytest.param("collect", marks=COLLECTS_INSIDE_CALLS)]


@pytest.mark.parametrize("target", ["same", "other"])
@pytest.mark.parametrize("method", ["init", "reset", "step"])
@pytest.mark.parametrize("trigger", TRIGGERS)
def test_nested_call_inside_step(trigger, method, target, armed_gc):
    env, twin, other, other_twin = make(), make(), make(), make()
    hook = Hook(env if target == "same" else other, method)
    result = env.step(hostile_actions(trigger, hook, armed_gc))
    # key and value hooks run once per sub-step, the finalizers once
    calls = 3 if trigger in ("key", "value") else 1
    if target == "same":
        assert hook.errors == [NESTED.format(method)] * calls
    else:  # another environment is free to be called, and the call takes effect
        assert hook.errors == [None] * calls
        for _ in range(calls):
            CALLS[method](other_twin)
    # the refused or foreign calls left the outer step undisturbed
    assert flat(result) == flat(twin.step(ACTIONS))
    assert flat(env.step(ACTIONS)) == flat(twin.step(ACTIONS))
    assert flat(other.step(ACTIONS)) == flat(other_twin.step(ACTIONS))


@COLLECTS_INSIDE_CALLS
@pytest.mark.parametrize("method", ["init", "reset", "step"])
def test_nested_call_during_reset_is_refused(method, armed_gc):
    # reset runs no code of the caller: only a collection can get in, at one of the
    # containers it allocates; sweep the threshold until one falls inside the call
    for extra in range(8):
        env, twin = make(), make()
        hook = Hook(env, method)
        doomed_cycle(hook)
        reset = env.reset
        spare = [{} for _ in range(100)]  # no dict left to reuse: reset's dict counts
        armed_gc(gc.get_count()[0] + extra)
        result = reset()
        gc.disable()
        gc.collect()
        del spare
        if hook.errors == [NESTED.format(method)]:
            assert flat(result) == flat(twin.reset())
            return
        assert hook.errors in ([], [None])
    pytest.fail("no collection fell inside reset")


def test_finalizer_error_is_reported_as_unraisable(monkeypatch):
    env, twin = make(), make()
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    hook = Hook(env, "reset", reraise=True)
    result = env.step(hostile_actions("finalizer", hook, None))
    assert [str(u.exc_value) for u in unraisable] == [NESTED.format("reset")]
    assert flat(result) == flat(twin.step(ACTIONS))
