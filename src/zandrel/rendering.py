"""Frames of the Zandrel plane drawn with Pillow, and a pygame window that shows them.

A frame is a square view of the plane above a legend strip. The view is centred on the
origin and sized for the spawn square; it stays fixed for an episode and only widens, by
whole zoom steps, when something leaves it, so the picture never drifts between frames.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium.error import DependencyNotInstalled
from PIL import Image, ImageDraw, ImageFont

from zandrel.config import ARRIVAL_DISTANCE
from zandrel.snapshot import Snapshot

FRAMES_PER_SECOND = 25  # 40 ms per frame, which GIF delays (in 10 ms units) can hold exactly
PLOT_SIZE = 400  # pixels per side of the square view of the plane
LEGEND_HEIGHT = 76  # pixels of the strip under the view: status line and legend
FRAME_WIDTH = PLOT_SIZE
FRAME_HEIGHT = PLOT_SIZE + LEGEND_HEIGHT
SUPERSAMPLING = 2  # shapes are drawn this many times larger, then shrunk, for smooth edges
ZOOM_STEP = 2.0  # factor by which the view widens when something leaves it
VIEW_MARGIN = 2.0  # plane units kept free around the start layout's outermost shape
GRID_SPACING = 10.0  # plane units between grid lines
PARTICLE_RADIUS = 1.0  # plane units; a particle touches a boulder at 6.0 between centres
MIN_PARTICLE_RADIUS = 4.0  # output pixels, so that particles stay visible in wide views
BOULDER_RADIUS = 5.0  # plane units; half the 10.0 spacing that boulders keep
ARRIVAL_RADIUS = ARRIVAL_DISTANCE  # plane units; a boulder centre inside this circle is on it
PIP_SIZE = 2.0  # plane units per side of a landmark's visit marker
PIP_REACH = ARRIVAL_RADIUS + 1.25 * PIP_SIZE  # plane units from a landmark to its pips' edge
BADGE_RADIUS = 1.9  # plane units of the check-mark badge on a boulder whose goal is met
HEADING_LENGTH = 2.5  # plane units of the line that shows a particle's last action
FONT_SIZE = 13  # pixels
LABEL_SIZE = 11  # pixels, for the indices written on the plane
MIN_INSIDE_LABEL = 13.0  # output pixels of particle diameter needed to write its index inside
# legend strip (output pixels): centres of its three rows and the radius of a swatch
STATUS_ROW = PLOT_SIZE + 13
SHAPES_ROW = PLOT_SIZE + 36
LANDMARKS_ROW = PLOT_SIZE + 60
SWATCH = 7.0

BACKGROUND = (246, 244, 238)
GRID = (226, 222, 211)
SPAWN_AREA = (205, 200, 188)
ZONE_EMPTY = (250, 222, 160)
ZONE_EMPTY_EDGE = (214, 160, 60)
ZONE_HELD = (178, 224, 172)
ZONE_HELD_EDGE = (70, 150, 70)
BOULDER = (128, 117, 106)
BADGE = (34, 139, 34)
CHECK = (255, 255, 255)
OUTLINE = (60, 55, 50)
TEXT = (40, 40, 40)
LEGEND_BACKGROUND = (234, 231, 222)
PARTICLE_COLOURS = (
    (31, 119, 180),
    (214, 39, 40),
    (148, 103, 189),
    (23, 190, 207),
    (227, 119, 194),
    (255, 127, 14),
    (188, 189, 34),
    (140, 86, 75),
)
HEADLESS_DRIVERS = ("offscreen", "dummy")  # what SDL falls back to without a display

Pixel = tuple[float, float]


@dataclass(frozen=True)
class Camera:
    """A square view centred on the origin: plane coordinates (y up) to pixels (y down)."""

    half_width: float  # plane units from the centre of the view to its edges
    size: int = PLOT_SIZE  # pixels per side

    @classmethod
    def for_spawn(cls, spawn_size: float, size: int = PLOT_SIZE) -> Camera:
        """The view that holds every start layout: the spawn square and landmark markers."""
        return cls(spawn_size / 2 + PIP_REACH + VIEW_MARGIN, size)

    @property
    def pixels_per_unit(self) -> float:
        return self.size / (2 * self.half_width)

    def widened_for(self, snapshot: Snapshot) -> Camera:
        """This view, or one wider by whole zoom steps when something lies outside it."""
        reach = _reach(snapshot)
        if reach <= self.half_width:
            return self
        steps = math.ceil(math.log(reach / self.half_width, ZOOM_STEP))
        return Camera(self.half_width * ZOOM_STEP**steps, self.size)

    def scaled(self, factor: int) -> Camera:
        """The same view drawn with `factor` times as many pixels per side."""
        return Camera(self.half_width, self.size * factor)

    def point(self, x: float, y: float) -> Pixel:
        half = self.size / 2
        return (half + x * self.pixels_per_unit, half - y * self.pixels_per_unit)

    def visible_range(self) -> tuple[float, float, float, float]:
        """Plane coordinates (left, bottom, right, top) of the view's edges."""
        return (-self.half_width, -self.half_width, self.half_width, self.half_width)


def _reach(snapshot: Snapshot) -> float:
    """The largest plane coordinate, in absolute value, of any drawn shape."""
    reach = 0.0
    for points, radius in (
        (snapshot.particles, PARTICLE_RADIUS + HEADING_LENGTH),
        (snapshot.boulders, BOULDER_RADIUS),
        (snapshot.landmarks, PIP_REACH),
    ):
        extents = np.abs(points[np.isfinite(points).all(axis=1)])
        if extents.size:
            reach = max(reach, float(extents.max()) + radius)
    return reach


def draw_frame(
    snapshot: Snapshot, camera: Camera, spawn_size: float, steps: int
) -> npt.NDArray[np.uint8]:
    """An RGB frame of shape (FRAME_HEIGHT, FRAME_WIDTH, 3): the view above the legend."""
    fine = camera.scaled(SUPERSAMPLING)
    image = Image.new(
        "RGB", (FRAME_WIDTH * SUPERSAMPLING, FRAME_HEIGHT * SUPERSAMPLING), LEGEND_BACKGROUND
    )
    canvas = ImageDraw.Draw(image)
    canvas.rectangle([0, 0, fine.size - 1, fine.size - 1], fill=BACKGROUND)
    _draw_grid(canvas, fine, spawn_size)
    _draw_landmarks(canvas, fine, snapshot)
    _draw_boulders(canvas, fine, snapshot)
    # visit markers go over boulders, which often sit on their landmark
    if snapshot.visits is not None:
        _draw_pips(canvas, fine, snapshot.landmarks, snapshot.visits)
    stacks = _particle_stacks(snapshot, fine)
    _draw_particles(canvas, fine, snapshot, stacks)
    _draw_legend_swatches(canvas, snapshot.visits is not None)
    # text is written after shrinking so that it stays sharp
    image = image.resize((FRAME_WIDTH, FRAME_HEIGHT), Image.Resampling.BOX)
    labels = ImageDraw.Draw(image)
    _label_plane(labels, camera, snapshot, stacks)
    _label_legend(labels, snapshot, steps)
    return np.array(image, dtype=np.uint8)


def _draw_grid(canvas: ImageDraw.ImageDraw, camera: Camera, spawn_size: float) -> None:
    left, bottom, right, top = camera.visible_range()
    # wider views space the lines out, so that there are never more than about eight
    doublings = math.ceil(math.log2(camera.half_width / (4 * GRID_SPACING)))
    spacing = GRID_SPACING * 2 ** max(0, doublings)
    for x in np.arange(math.ceil(left / spacing) * spacing, right, spacing):
        canvas.line([camera.point(x, bottom), camera.point(x, top)], fill=GRID, width=2)
    for y in np.arange(math.ceil(bottom / spacing) * spacing, top, spacing):
        canvas.line([camera.point(left, y), camera.point(right, y)], fill=GRID, width=2)
    half_spawn = spawn_size / 2
    corners = [camera.point(-half_spawn, half_spawn), camera.point(half_spawn, -half_spawn)]
    canvas.rectangle(corners, outline=SPAWN_AREA, width=2)


def _draw_landmarks(canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot) -> None:
    held = _landmarks_held(snapshot)
    for index, (x, y) in enumerate(snapshot.landmarks):
        _landmark_marker(
            canvas, camera.point(x, y), ARRIVAL_RADIUS * camera.pixels_per_unit, held[index]
        )


def _landmarks_held(snapshot: Snapshot) -> npt.NDArray[np.bool_]:
    """Per landmark: a boulder centre lies inside its arrival circle now."""
    if len(snapshot.boulders) == 0:
        return np.zeros(len(snapshot.landmarks), dtype=bool)
    gaps = snapshot.landmarks[:, None, :] - snapshot.boulders[None, :, :]
    return np.asarray((np.hypot(gaps[..., 0], gaps[..., 1]) < ARRIVAL_RADIUS).any(axis=1))


def _landmark_marker(canvas: ImageDraw.ImageDraw, centre: Pixel, radius: float, held: bool) -> None:
    """The arrival circle with a cross at the centre, green while a boulder lies on it."""
    edge = ZONE_HELD_EDGE if held else ZONE_EMPTY_EDGE
    width = max(2, round(radius / 20))
    canvas.ellipse(
        _box(centre, radius), fill=ZONE_HELD if held else ZONE_EMPTY, outline=edge, width=width
    )
    arm = radius * 0.13
    px, py = centre
    canvas.line([(px - arm, py), (px + arm, py)], fill=edge, width=width)
    canvas.line([(px, py - arm), (px, py + arm)], fill=edge, width=width)


def _draw_pips(
    canvas: ImageDraw.ImageDraw,
    camera: Camera,
    landmarks: npt.NDArray[np.float64],
    visits: npt.NDArray[np.bool_],
) -> None:
    """One square per boulder under each landmark, filled once that boulder has visited."""
    line_width = max(2, round(0.3 * camera.pixels_per_unit))
    half = PIP_SIZE / 2 * camera.pixels_per_unit
    for (x, y), visited in zip(landmarks, visits, strict=True):
        first_x = x - (len(visited) - 1) * PIP_SIZE * 0.75
        for boulder, seen in enumerate(visited):
            pip_x = first_x + boulder * PIP_SIZE * 1.5
            pip = camera.point(pip_x, y - ARRIVAL_RADIUS - PIP_SIZE * 0.75)
            _pip(canvas, pip, half, bool(seen), line_width)


def _pip(canvas: ImageDraw.ImageDraw, centre: Pixel, half: float, seen: bool, width: int) -> None:
    canvas.rectangle(
        _box(centre, half),
        fill=ZONE_HELD_EDGE if seen else BACKGROUND,
        outline=OUTLINE,
        width=width,
    )


def _draw_boulders(canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot) -> None:
    for (x, y), done in zip(snapshot.boulders, snapshot.boulders_done, strict=True):
        _boulder_marker(canvas, camera.point(x, y), BOULDER_RADIUS * camera.pixels_per_unit, done)


def _boulder_marker(canvas: ImageDraw.ImageDraw, centre: Pixel, radius: float, done: bool) -> None:
    """A grey disc; a boulder whose goal is met carries a check-mark badge on its rim."""
    canvas.ellipse(
        _box(centre, radius), fill=BOULDER, outline=OUTLINE, width=max(2, round(radius / 12))
    )
    if done:
        rim = radius * math.sqrt(0.5)
        _check_badge(
            canvas, (centre[0] + rim, centre[1] - rim), radius * BADGE_RADIUS / BOULDER_RADIUS
        )


def _check_badge(canvas: ImageDraw.ImageDraw, centre: Pixel, radius: float) -> None:
    px, py = centre
    canvas.ellipse(_box(centre, radius), fill=BADGE, outline=CHECK, width=max(2, round(radius / 6)))
    tick = [
        (px - 0.5 * radius, py + 0.02 * radius),
        (px - 0.12 * radius, py + 0.4 * radius),
        (px + 0.52 * radius, py - 0.38 * radius),
    ]
    canvas.line(tick, fill=CHECK, width=max(2, round(radius / 4)), joint="curve")


@dataclass(frozen=True)
class Stack:
    """Particles drawn as one disc because their centres (nearly) coincide on screen."""

    centre: Pixel  # supersampled pixels
    members: tuple[int, ...]


def _particle_radius(camera: Camera) -> float:
    return max(PARTICLE_RADIUS * camera.pixels_per_unit, MIN_PARTICLE_RADIUS * SUPERSAMPLING)


def _particle_stacks(snapshot: Snapshot, camera: Camera) -> list[Stack]:
    """Particles grouped with the first earlier one whose disc would hide most of theirs."""
    radius = _particle_radius(camera)
    anchors: list[Pixel] = []
    members: list[list[int]] = []
    for index, (x, y) in enumerate(snapshot.particles):
        centre = camera.point(x, y)
        for anchor, group in zip(anchors, members, strict=True):
            if math.dist(anchor, centre) < radius:
                group.append(index)
                break
        else:
            anchors.append(centre)
            members.append([index])
    return [Stack(a, tuple(m)) for a, m in zip(anchors, members, strict=True)]


def _draw_particles(
    canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot, stacks: list[Stack]
) -> None:
    line_width = max(2, round(0.3 * camera.pixels_per_unit))
    for index, ((x, y), (vx, vy)) in enumerate(
        zip(snapshot.particles, snapshot.velocities, strict=True)
    ):
        tip = camera.point(x + vx * HEADING_LENGTH, y + vy * HEADING_LENGTH)
        canvas.line([camera.point(x, y), tip], fill=_colour(index), width=line_width)
    radius = _particle_radius(camera)
    for stack in stacks:
        _particle_marker(canvas, stack.centre, radius, stack.members)


def _particle_marker(
    canvas: ImageDraw.ImageDraw, centre: Pixel, radius: float, members: tuple[int, ...]
) -> None:
    """A disc in the particle's colour; stacked particles share it as equal wedges."""
    box = _box(centre, radius)
    if len(members) == 1:
        canvas.ellipse(box, fill=_colour(members[0]))
    else:
        share = 360 / len(members)
        for slot, index in enumerate(members):
            start = -90 + slot * share
            canvas.pieslice(box, start, start + share, fill=_colour(index))
    canvas.ellipse(box, outline=OUTLINE, width=2)


def _colour(particle: int) -> tuple[int, int, int]:
    return PARTICLE_COLOURS[particle % len(PARTICLE_COLOURS)]


def _box(centre: Pixel, radius: float) -> tuple[float, float, float, float]:
    px, py = centre
    return (px - radius, py - radius, px + radius, py + radius)


def _label_plane(
    canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot, stacks: list[Stack]
) -> None:
    """Boulder indices on the boulders, L-numbers beside the landmarks, particle indices."""
    font = ImageFont.load_default(size=LABEL_SIZE)
    for index, (x, y) in enumerate(snapshot.landmarks):
        corner = ARRIVAL_RADIUS * math.sqrt(0.5)
        _plate_text(canvas, camera.point(x - corner, y + corner), f"L{index}", font)
    for index, (x, y) in enumerate(snapshot.boulders):
        canvas.text(camera.point(x, y), str(index), fill=BACKGROUND, font=font, anchor="mm")
    radius = _particle_radius(camera.scaled(SUPERSAMPLING)) / SUPERSAMPLING
    for stack in stacks:
        px, py = (value / SUPERSAMPLING for value in stack.centre)
        if len(stack.members) == 1 and 2 * radius >= MIN_INSIDE_LABEL:
            canvas.text((px, py), str(stack.members[0]), fill=BACKGROUND, font=font, anchor="mm")
        elif len(stack.members) > 1:
            text = "+".join(map(str, stack.members))
            _plate_text(canvas, (px + radius + 2, py - radius), text, font, anchor="lb")


def _plate_text(
    canvas: ImageDraw.ImageDraw,
    corner: Pixel,
    text: str,
    font: ImageFont.FreeTypeFont | ImageFont.ImageFont,
    anchor: str = "rb",
) -> None:
    """Text on a light plate, readable over boulders and grid lines alike."""
    left, top, right, bottom = canvas.textbbox(corner, text, font=font, anchor=anchor)
    canvas.rectangle((left - 2, top - 1, right + 1, bottom + 1), fill=BACKGROUND, outline=GRID)
    canvas.text(corner, text, fill=TEXT, font=font, anchor=anchor)


def _legend_entries(visit_all: bool) -> Iterator[tuple[str, float, float, str]]:
    """(kind, x, y, caption) of each legend entry, in output pixels."""
    yield "particle", 14, SHAPES_ROW, "particle i"
    yield "stack", 100, SHAPES_ROW, "stacked"
    yield "boulder", 175, SHAPES_ROW, "boulder b"
    yield "done", 262, SHAPES_ROW, "goal met, stays met"
    yield "empty", 14, LANDMARKS_ROW, "landmark, empty"
    yield "held", 140, LANDMARKS_ROW, "boulder on it now"
    if visit_all:
        yield "pip", 272, LANDMARKS_ROW, "b has visited"


def _draw_legend_swatches(canvas: ImageDraw.ImageDraw, visit_all: bool) -> None:
    scale = SUPERSAMPLING
    radius = SWATCH * scale
    for kind, x, y, _ in _legend_entries(visit_all):
        centre = (x * scale, y * scale)
        if kind == "particle":
            _particle_marker(canvas, centre, radius * 0.8, (0,))
        elif kind == "stack":
            _particle_marker(canvas, centre, radius * 0.8, (0, 1))
        elif kind == "boulder":
            _boulder_marker(canvas, centre, radius, done=False)
        elif kind == "done":
            _check_badge(canvas, centre, radius)
        elif kind in ("empty", "held"):
            _landmark_marker(canvas, centre, radius, held=kind == "held")
        else:
            _pip(canvas, centre, radius * 0.6, True, 2)
            _pip(canvas, (centre[0] - radius * 1.5, centre[1]), radius * 0.6, False, 2)


def _label_legend(canvas: ImageDraw.ImageDraw, snapshot: Snapshot, steps: int) -> None:
    font = ImageFont.load_default(size=FONT_SIZE)
    small = ImageFont.load_default(size=LABEL_SIZE + 1)
    canvas.line([(0, PLOT_SIZE), (FRAME_WIDTH, PLOT_SIZE)], fill=SPAWN_AREA, width=1)
    status = f"step {steps}    goals met {snapshot.goals_met}/{snapshot.goals_total}"
    canvas.text((8, STATUS_ROW), status, fill=TEXT, font=font, anchor="lm")
    for _, x, y, caption in _legend_entries(snapshot.visits is not None):
        canvas.text((x + SWATCH + 5, y), caption, fill=TEXT, font=small, anchor="lm")


def tile_frames(
    frames: npt.NDArray[np.uint8], columns: int | None = None, gap: int = 4
) -> npt.NDArray[np.uint8]:
    """Frames shaped (k, H, W, 3) as one image, row by row, `gap` white pixels apart.

    `columns` defaults to the smallest count that makes the grid at least as wide as it
    is tall in frames; a GIF of several environments is one tiled image per step.
    """
    frames = np.asarray(frames)
    if frames.ndim != 4 or frames.shape[0] == 0 or frames.shape[3] != 3:
        raise ValueError(
            f"frames must be an array of shape (k, H, W, 3) with k >= 1, got {frames.shape}"
        )
    count, height, width, _ = frames.shape
    if columns is None:
        columns = math.ceil(math.sqrt(count))
    if isinstance(columns, bool) or not isinstance(columns, int) or columns < 1:
        raise ValueError(f"columns must be an integer >= 1, got {columns!r}")
    if isinstance(gap, bool) or not isinstance(gap, int) or gap < 0:
        raise ValueError(f"gap must be an integer >= 0, got {gap!r}")
    columns = min(columns, count)
    rows = math.ceil(count / columns)
    tiled = np.full(
        (rows * height + (rows - 1) * gap, columns * width + (columns - 1) * gap, 3),
        255,
        np.uint8,
    )
    for index, frame in enumerate(frames):
        top = index // columns * (height + gap)
        left = index % columns * (width + gap)
        tiled[top : top + height, left : left + width] = frame
    return tiled


class HumanWindow:
    """A pygame window that shows frames at a fixed rate."""

    def __init__(self, fps: int) -> None:
        self._pygame = _import_pygame()
        self._fps = fps
        _open_display(self._pygame)
        self._screen = self._pygame.display.set_mode((FRAME_WIDTH, FRAME_HEIGHT))
        self._pygame.display.set_caption("Zandrel")
        self._clock = self._pygame.time.Clock()

    def show(self, frame: npt.NDArray[np.uint8]) -> None:
        # events must be drained or the system marks the window unresponsive
        self._pygame.event.pump()
        surface = self._pygame.surfarray.make_surface(frame.swapaxes(0, 1))
        self._screen.blit(surface, (0, 0))
        self._pygame.display.flip()
        self._clock.tick(self._fps)

    def close(self) -> None:
        self._pygame.display.quit()


def _import_pygame() -> Any:
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    try:
        import pygame
    except ImportError as error:
        raise DependencyNotInstalled(
            'render_mode="human" needs pygame; install it with pip install "zandrel[human]"'
        ) from error
    return pygame


def _open_display(pygame: Any) -> None:
    """Start pygame's display, refusing SDL's silent fallback to drawing nowhere."""
    try:
        pygame.display.init()
    except pygame.error as error:
        raise RuntimeError(f'render_mode="human" needs a display: {error}') from error
    driver = pygame.display.get_driver()
    if driver in HEADLESS_DRIVERS and os.environ.get("SDL_VIDEODRIVER") != driver:
        pygame.display.quit()
        raise RuntimeError(
            'render_mode="human" needs a display, but none was found; use '
            'render_mode="rgb_array" to get frames as arrays, or set '
            "SDL_VIDEODRIVER=dummy to run human mode without a window on purpose"
        )
