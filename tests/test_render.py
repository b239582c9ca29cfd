"""Frames drawn with Pillow, the camera on the unbounded plane, and the human window."""

import re
import sys
import warnings

import numpy as np
import pytest

import zandrel
from zandrel.policies import HeuristicPolicy
from zandrel.rendering import (
    BOULDER_DONE,
    BOULDER_OPEN,
    FRAME_SIZE,
    PARTICLE_COLOURS,
    SUPERSAMPLING,
    Camera,
)

with warnings.catch_warnings():
    # pettingzoo.test imports PettingZoo's own example environments through its deprecated API
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import render_test


def pixel_of(frame, snapshot, spawn_size, x, y):
    camera = Camera.covering(snapshot, spawn_size, FRAME_SIZE * SUPERSAMPLING)
    px, py = camera.point(x, y)
    return tuple(frame[int(py / SUPERSAMPLING), int(px / SUPERSAMPLING)])


def test_pettingzoo_render_check_in_both_modes(monkeypatch):
    # human mode on SDL's dummy driver: drawn to no window, on purpose
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    render_test(zandrel.env)


def test_frame_shows_particles_and_boulders():
    env = zandrel.parallel_env(render_mode="rgb_array")
    env.reset(seed=3)
    frame = env.render()
    assert frame.shape == (FRAME_SIZE, FRAME_SIZE, 3)
    assert frame.dtype == np.uint8
    snapshot = env.snapshot()
    for index, (x, y) in enumerate(snapshot.particles):
        assert pixel_of(frame, snapshot, env.spawn_size, x, y) == PARTICLE_COLOURS[index]
    # boulder centres carry their index label, so look just beside them
    for x, y in snapshot.boulders:
        assert pixel_of(frame, snapshot, env.spawn_size, x + 2.5, y) == BOULDER_OPEN
    assert len(np.unique(frame.reshape(-1, 3), axis=0)) > 20


def test_finished_boulders_are_drawn_as_done():
    env = zandrel.parallel_env(render_mode="rgb_array")
    env.reset(seed=0)
    policy = HeuristicPolicy()
    while env.agents:
        env.step(policy(env))
    frame, snapshot = env.render(), env.snapshot()
    for x, y in snapshot.boulders:
        assert pixel_of(frame, snapshot, env.spawn_size, x + 2.5, y) == BOULDER_DONE


def test_camera_follows_a_particle_far_off_the_spawn_area():
    env = zandrel.parallel_env(n_boulders=1, n_landmarks=0, max_cycles=500, render_mode="rgb_array")
    env.reset(seed=0)
    for _ in range(400):
        env.step({"particle_0": [1.0, -1.0]})
    snapshot = env.snapshot()
    x, y = snapshot.particles[0]
    assert x > 100
    assert y < -100
    camera = Camera.covering(snapshot, env.spawn_size, FRAME_SIZE)
    left, bottom, right, top = camera.visible_range()
    assert left < -env.spawn_size / 2
    assert x + 1 < right
    assert bottom < y - 1
    assert top > 0
    assert pixel_of(env.render(), snapshot, env.spawn_size, x, y) == PARTICLE_COLOURS[0]


def test_render_takes_the_mode_that_wrappers_pass_along():
    env = zandrel.parallel_env(render_mode="rgb_array")
    env.reset(seed=0)
    frame = env.render()
    for mode in (None, "rgb_array"):
        assert np.array_equal(env.render(mode), frame)


@pytest.mark.parametrize(("render_mode", "mode"), [("rgb_array", "human"), (None, "rgb_array")])
def test_render_refuses_a_mode_other_than_its_own(render_mode, mode):
    env = zandrel.parallel_env(render_mode=render_mode)
    env.reset(seed=0)
    message = (
        f"render() got mode {mode!r}, but this environment's render_mode is {render_mode!r}, "
        "fixed when it was made; pass None or the same mode"
    )
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        env.render(mode)


@pytest.mark.skipif(sys.platform != "linux", reason="other systems find a display without $DISPLAY")
def test_human_mode_without_display_fails_clearly(monkeypatch):
    for variable in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
        monkeypatch.delenv(variable, raising=False)
    env = zandrel.parallel_env(render_mode="human")
    message = (
        'render_mode="human" needs a display, but none was found; use render_mode="rgb_array" '
        "to get frames as arrays, or set SDL_VIDEODRIVER=dummy to run human mode without a "
        "window on purpose"
    )
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        env.reset(seed=0)
