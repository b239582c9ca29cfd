"""Frames drawn with Pillow, the camera on the unbounded plane, and the human window."""

import re
import sys
import warnings

import numpy as np
import pytest

import zandrel
from zandrel.rendering import (
    BADGE,
    BOULDER,
    FRAME_HEIGHT,
    FRAME_WIDTH,
    LANDMARKS_ROW,
    PARTICLE_COLOURS,
    PLOT_SIZE,
    ZONE_EMPTY,
    ZONE_HELD,
    ZONE_HELD_EDGE,
    Camera,
    draw_frame,
    off_view_arrows,
    visit_table,
)
from zandrel.snapshot import split_state

with warnings.catch_warnings():
    # pettingzoo.test imports PettingZoo's own example environments through its deprecated API
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import render_test

SPAWN = 30.0


def scene(particles, boulders=(), landmarks=(), flags=None, visit_all=False):
    """A snapshot built by hand: particles at rest, boulders and landmarks at fixed places."""
    particles, boulders, landmarks = (
        np.array(p, dtype=float).reshape(-1, 2) for p in (particles, boulders, landmarks)
    )
    n_flags = len(landmarks) * len(boulders) if visit_all else len(boulders)
    state = np.concatenate(
        [
            np.hstack([particles, np.zeros_like(particles)]).ravel(),
            boulders.ravel(),
            landmarks.ravel(),
            np.zeros(n_flags) if flags is None else np.array(flags, dtype=float),
        ]
    )
    return split_state(state, len(particles), len(boulders), len(landmarks), visit_all)


def render(snapshot, camera=None):
    camera = camera or Camera.for_spawn(SPAWN).widened_for(snapshot)
    return draw_frame(snapshot, camera, SPAWN, 0), camera


def count_near(frame, camera, x, y, radius, colour):
    """Pixels of exactly `colour` within `radius` plane units of (x, y)."""
    px, py = camera.point(x, y)
    reach = max(2.0, radius * camera.pixels_per_unit)
    rows, columns = np.mgrid[: frame.shape[0], : frame.shape[1]]
    near = (rows + 0.5 - py) ** 2 + (columns + 0.5 - px) ** 2 <= reach**2
    return int(np.all(frame[near] == colour, axis=1).sum())


def test_pettingzoo_render_check_in_both_modes(monkeypatch):
    # human mode on SDL's dummy driver: drawn to no window, on purpose
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    render_test(zandrel.env)


def test_environment_frame_shows_every_particle_and_boulder():
    env = zandrel.parallel_env(n_agents=3, render_mode="rgb_array")
    env.reset(seed=3)
    frame = env.render()
    assert frame.shape == (FRAME_HEIGHT, FRAME_WIDTH, 3)
    assert frame.dtype == np.uint8
    snapshot = env.snapshot()
    camera = Camera.for_spawn(env.spawn_size)
    for index, (x, y) in enumerate(snapshot.particles):
        assert count_near(frame, camera, x, y, 1.0, PARTICLE_COLOURS[index]) > 20
    for x, y in snapshot.boulders:
        assert count_near(frame, camera, x, y, 5.0, BOULDER) > 500


@pytest.mark.parametrize(
    "positions",
    [
        [(1.0, 2.0), (1.0, 2.0)],
        [(1.0, 2.0), (1.3, 2.1)],
        [(-4.0, 0.0), (-4.0, 0.0), (-4.0, 0.0)],
    ],
)
def test_stacked_particles_all_stay_visible(positions):
    frame, camera = render(scene(positions))
    x, y = positions[0]
    for index in range(len(positions)):
        assert count_near(frame, camera, x, y, 1.5, PARTICLE_COLOURS[index]) > 10


@pytest.mark.parametrize(
    ("boulder", "flags", "zone", "badge"),
    [
        # pushed off after arriving: the goal stays met, the landmark is empty now
        ((-6.5, 0.0), [1.0], ZONE_EMPTY, True),
        ((-1.0, 0.5), [1.0], ZONE_HELD, True),
        ((-20.0, 0.0), [0.0], ZONE_EMPTY, False),
    ],
)
def test_landmarks_show_what_lies_on_them_and_boulders_carry_their_goal(
    boulder, flags, zone, badge
):
    snapshot = scene([(10.0, 10.0)], [boulder], [(0.0, 0.0)], flags)
    frame, camera = render(snapshot)
    # the far side of the arrival circle, away from the boulder
    assert count_near(frame, camera, 4.5, 0.0, 1.0, zone) > 20
    x, y = boulder
    assert count_near(frame, camera, x, y, 4.0, BOULDER) > 300
    assert (count_near(frame, camera, x, y, 7.0, BADGE) > 20) == badge


@pytest.mark.parametrize("visit_all", [False, True])
def test_legend_under_the_view_shows_every_key(visit_all):
    # an empty scene: every key colour in the frame must come from the legend
    frame, _ = render(scene([(0.0, 0.0)], visit_all=visit_all))
    legend = frame[PLOT_SIZE:].reshape(-1, 3)
    keys = [PARTICLE_COLOURS[0], PARTICLE_COLOURS[1], BOULDER, BADGE, ZONE_EMPTY, ZONE_HELD]
    for colour in [*keys, ZONE_HELD_EDGE] if visit_all else keys:
        assert np.all(legend == colour, axis=1).sum() > 10, colour


def test_view_stays_fixed_until_something_leaves_it():
    start = scene([(2.0, 2.0)], [(10.0, 0.0)], [(0.0, 0.0)])
    base = Camera.for_spawn(SPAWN)
    # shapes pushed past the spawn square but inside the view keep the view as it was
    moved = scene([(-14.0, 15.0)], [(18.0, -3.0)], [(0.0, 0.0)])
    assert base.widened_for(start) == base.widened_for(moved) == base
    far = scene([(40.0, -3.0)], [(18.0, -3.0)], [(0.0, 0.0)])
    wide = base.widened_for(far)
    assert wide.visible_range() == (-wide.half_width,) * 2 + (wide.half_width,) * 2
    assert wide.half_width > 40.0 + 1.0
    # whole zoom steps: the same grid, never a drift by a fraction
    assert np.log2(wide.half_width / base.half_width) % 1 == 0
    assert wide.widened_for(moved) == wide
    frame, _ = render(far, wide)
    assert count_near(frame, wide, 40.0, -3.0, 1.0, PARTICLE_COLOURS[0]) > 10


@pytest.mark.parametrize("away", [(500.0, 20.0), (-3.0, -1e9)])
def test_a_particle_far_away_leaves_the_task_readable(away):
    task = scene([(2.0, 2.0), away], [(10.0, 0.0), (-60.0, 0.0)], [(0.0, 0.0)])
    base = Camera.for_spawn(SPAWN)
    # the boulder at -60 needs two zoom steps; the particle may add one more, no further
    camera = base.widened_for(task)
    assert camera.zoom == 2 + 1
    arrows = off_view_arrows(task, camera)
    assert [arrow.particle for arrow in arrows] == [1]
    tip_x, tip_y = arrows[0].tip
    assert 0 < tip_x < PLOT_SIZE
    assert 0 < tip_y < PLOT_SIZE
    # at the edge the particle lies beyond, and pointing towards it
    x, y = away
    assert max(abs(tip_x - PLOT_SIZE / 2), abs(tip_y - PLOT_SIZE / 2)) > PLOT_SIZE / 2 - 10
    dx, dy = arrows[0].direction
    assert dx * x - dy * y > 0.99 * np.hypot(x, y)
    frame, _ = render(task, camera)
    assert count_near(frame, camera, *task.boulders[1], 4.0, BOULDER) > 10


@pytest.mark.parametrize(("n_landmarks", "n_boulders"), [(4, 5), (3, 1), (8, 16), (2, 40)])
def test_visit_table_cells_fit_the_strip_without_overlaps(n_landmarks, n_boulders):
    table = visit_table(n_landmarks, n_boulders)
    boxes = [box for _, _, box in table.cells]
    assert len(boxes) == n_landmarks * n_boulders
    legend_bottom = LANDMARKS_ROW + 10
    for left, top, right, bottom in boxes:
        assert 0 <= left < right <= FRAME_WIDTH
        assert legend_bottom < top < bottom <= table.height
    for index, (left, top, right, bottom) in enumerate(boxes):
        for other in boxes[index + 1 :]:
            assert right <= other[0] or other[2] <= left or bottom <= other[1] or other[3] <= top
    # names start their groups, left of the group's first square
    for landmark, (x, y) in table.names:
        first = next(box for lm, _, box in table.cells if lm == landmark)
        assert x + 20 <= first[0]
        assert first[1] < y < first[3]


def test_visit_all_frame_has_its_table_and_nothing_of_it_on_the_plane():
    env = zandrel.parallel_env(
        n_agents=6, n_boulders=5, n_landmarks=4, visit_all=True, render_mode="rgb_array"
    )
    env.reset(seed=1)
    frame = env.render()
    assert frame.shape == (visit_table(4, 5).height, FRAME_WIDTH, 3)
    # the filled-square colour appears on the plane only in held landmarks' edges
    plane = frame[:PLOT_SIZE].reshape(-1, 3)
    assert not np.all(plane == ZONE_HELD_EDGE, axis=1).any()


def test_environment_view_widens_within_an_episode_and_resets_with_it():
    env = zandrel.parallel_env(n_agents=1, n_boulders=1, n_landmarks=1, render_mode="rgb_array")
    env.reset(seed=0)
    start = env.snapshot()
    # walk straight away from the only boulder, out of the view, and back
    away = start.particles[0] - start.boulders[0]
    away = away / np.linalg.norm(away)
    base = Camera.for_spawn(env.spawn_size)
    views = []
    for direction in (away, -away):
        for _ in range(120):
            env.step({"particle_0": direction})
        frame = env.render()
        views.append(base.widened_for(env.snapshot()))
    wide, back = views
    assert wide.half_width > base.half_width
    assert back == base
    assert np.array_equal(frame, draw_frame(env.snapshot(), wide, env.spawn_size, env.steps))
    env.reset(seed=1)
    assert np.array_equal(env.render(), draw_frame(env.snapshot(), base, env.spawn_size, 0))


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
