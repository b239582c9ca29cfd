"""Frames of the Zandrel plane drawn with Pillow, and a pygame window that shows them."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium.error import DependencyNotInstalled
from PIL import Image, ImageDraw, ImageFont

from zandrel.snapshot import Snapshot

FRAME_SIZE = 400  # pixels per side of a square frame
SUPERSAMPLING = 2  # shapes are drawn this many times larger, then shrunk, for smooth edges
VIEW_MARGIN = 3.0  # plane units kept free around the outermost drawn shape
GRID_SPACING = 10.0  # plane units between grid lines
PARTICLE_RADIUS = 1.0  # plane units; a particle touches a boulder at 6.0 between centres
BOULDER_RADIUS = 5.0  # plane units; half the 10.0 spacing that boulders keep
ARRIVAL_RADIUS = 6.0  # plane units; a boulder centre inside this circle has arrived
PIP_SIZE = 2.0  # plane units per side of a landmark's visit marker
HEADING_LENGTH = 2.5  # plane units of the line that shows a particle's last action
FONT_SIZE = 13  # pixels

BACKGROUND = (246, 244, 238)
GRID = (226, 222, 211)
SPAWN_AREA = (205, 200, 188)
ZONE_OPEN = (250, 222, 160)
ZONE_OPEN_EDGE = (214, 160, 60)
ZONE_MET = (178, 224, 172)
ZONE_MET_EDGE = (70, 150, 70)
BOULDER_OPEN = (128, 117, 106)
BOULDER_DONE = (70, 150, 70)
OUTLINE = (60, 55, 50)
TEXT = (40, 40, 40)
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


@dataclass(frozen=True)
class Camera:
    """Maps plane coordinates (y up) to pixels (y down) of a square image."""

    centre_x: float
    centre_y: float
    pixels_per_unit: float
    size: int

    @classmethod
    def covering(cls, snapshot: Snapshot, spawn_size: float, size: int) -> Camera:
        """A view of the spawn area, widened until every entity is inside."""
        half_spawn = spawn_size / 2
        low = np.array([-half_spawn, -half_spawn])
        high = np.array([half_spawn, half_spawn])
        for points, radius in (
            (snapshot.particles, PARTICLE_RADIUS),
            (snapshot.boulders, BOULDER_RADIUS),
            (snapshot.landmarks, ARRIVAL_RADIUS + PIP_SIZE),
        ):
            if len(points):
                low = np.minimum(low, points.min(axis=0) - radius)
                high = np.maximum(high, points.max(axis=0) + radius)
        centre = (low + high) / 2
        half_width = float(np.max(high - low)) / 2 + VIEW_MARGIN
        return cls(float(centre[0]), float(centre[1]), size / (2 * half_width), size)

    def point(self, x: float, y: float) -> tuple[float, float]:
        half = self.size / 2
        return (
            half + (x - self.centre_x) * self.pixels_per_unit,
            half - (y - self.centre_y) * self.pixels_per_unit,
        )

    def box(self, x: float, y: float, radius: float) -> tuple[float, float, float, float]:
        px, py = self.point(x, y)
        r = radius * self.pixels_per_unit
        return (px - r, py - r, px + r, py + r)

    def visible_range(self) -> tuple[float, float, float, float]:
        """Plane coordinates (left, bottom, right, top) of the image's edges."""
        half_units = self.size / 2 / self.pixels_per_unit
        return (
            self.centre_x - half_units,
            self.centre_y - half_units,
            self.centre_x + half_units,
            self.centre_y + half_units,
        )


def draw_frame(snapshot: Snapshot, spawn_size: float, steps: int) -> npt.NDArray[np.uint8]:
    """An RGB frame of shape (FRAME_SIZE, FRAME_SIZE, 3) showing the whole scene."""
    camera = Camera.covering(snapshot, spawn_size, FRAME_SIZE * SUPERSAMPLING)
    image = Image.new("RGB", (camera.size, camera.size), BACKGROUND)
    canvas = ImageDraw.Draw(image)
    _draw_grid(canvas, camera, spawn_size)
    _draw_landmarks(canvas, camera, snapshot)
    _draw_boulders(canvas, camera, snapshot)
    _draw_particles(canvas, camera, snapshot)
    # text is written after shrinking so that it stays sharp
    image = image.resize((FRAME_SIZE, FRAME_SIZE), Image.Resampling.BOX)
    _draw_labels(ImageDraw.Draw(image), camera, snapshot, steps)
    return np.array(image, dtype=np.uint8)


def _draw_grid(canvas: ImageDraw.ImageDraw, camera: Camera, spawn_size: float) -> None:
    left, bottom, right, top = camera.visible_range()
    for x in np.arange(math.ceil(left / GRID_SPACING) * GRID_SPACING, right, GRID_SPACING):
        canvas.line([camera.point(x, bottom), camera.point(x, top)], fill=GRID, width=2)
    for y in np.arange(math.ceil(bottom / GRID_SPACING) * GRID_SPACING, top, GRID_SPACING):
        canvas.line([camera.point(left, y), camera.point(right, y)], fill=GRID, width=2)
    half_spawn = spawn_size / 2
    corners = [camera.point(-half_spawn, half_spawn), camera.point(half_spawn, -half_spawn)]
    canvas.rectangle(corners, outline=SPAWN_AREA, width=2)


def _draw_landmarks(canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot) -> None:
    line_width = max(2, round(0.3 * camera.pixels_per_unit))
    for index, (x, y) in enumerate(snapshot.landmarks):
        met = _landmark_met(snapshot, index)
        canvas.ellipse(
            camera.box(x, y, ARRIVAL_RADIUS),
            fill=ZONE_MET if met else ZONE_OPEN,
            outline=ZONE_MET_EDGE if met else ZONE_OPEN_EDGE,
            width=line_width,
        )
        arm = 0.8
        edge = ZONE_MET_EDGE if met else ZONE_OPEN_EDGE
        canvas.line(
            [camera.point(x - arm, y), camera.point(x + arm, y)], fill=edge, width=line_width
        )
        canvas.line(
            [camera.point(x, y - arm), camera.point(x, y + arm)], fill=edge, width=line_width
        )
        if snapshot.visits is not None:
            _draw_pips(canvas, camera, x, y, snapshot.visits[index])


def _landmark_met(snapshot: Snapshot, index: int) -> bool:
    """Every boulder has visited it (visit_all), or a finished boulder sits in its zone."""
    if snapshot.visits is not None:
        return bool(snapshot.visits[index].all())
    centre = snapshot.landmarks[index]
    distances = np.linalg.norm(snapshot.boulders - centre, axis=1)
    return bool(np.any(snapshot.boulders_done & (distances < ARRIVAL_RADIUS)))


def _draw_pips(
    canvas: ImageDraw.ImageDraw,
    camera: Camera,
    x: float,
    y: float,
    visited: npt.NDArray[np.bool_],
) -> None:
    """One square per boulder under the landmark, filled once that boulder has visited."""
    first_x = x - (len(visited) - 1) * PIP_SIZE * 0.75
    for boulder, seen in enumerate(visited):
        pip_x = first_x + boulder * PIP_SIZE * 1.5
        pip_y = y - ARRIVAL_RADIUS - PIP_SIZE * 0.75
        canvas.rectangle(
            camera.box(pip_x, pip_y, PIP_SIZE / 2),
            fill=ZONE_MET_EDGE if seen else BACKGROUND,
            outline=OUTLINE,
            width=2,
        )


def _draw_boulders(canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot) -> None:
    line_width = max(2, round(0.25 * camera.pixels_per_unit))
    for (x, y), done in zip(snapshot.boulders, snapshot.boulders_done, strict=True):
        canvas.ellipse(
            camera.box(x, y, BOULDER_RADIUS),
            fill=BOULDER_DONE if done else BOULDER_OPEN,
            outline=OUTLINE,
            width=line_width,
        )


def _draw_particles(canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot) -> None:
    line_width = max(2, round(0.3 * camera.pixels_per_unit))
    for index, ((x, y), (vx, vy)) in enumerate(
        zip(snapshot.particles, snapshot.velocities, strict=True)
    ):
        colour = PARTICLE_COLOURS[index % len(PARTICLE_COLOURS)]
        tip = (x + vx * HEADING_LENGTH, y + vy * HEADING_LENGTH)
        canvas.line([camera.point(x, y), camera.point(*tip)], fill=colour, width=line_width)
        canvas.ellipse(camera.box(x, y, PARTICLE_RADIUS), fill=colour, outline=OUTLINE, width=2)


def _draw_labels(
    canvas: ImageDraw.ImageDraw, camera: Camera, snapshot: Snapshot, steps: int
) -> None:
    font = ImageFont.load_default(size=FONT_SIZE)
    shrink = FRAME_SIZE / camera.size
    for index, (x, y) in enumerate(snapshot.boulders):
        px, py = camera.point(x, y)
        canvas.text((px * shrink, py * shrink), str(index), fill=BACKGROUND, font=font, anchor="mm")
    status = f"step {steps}   goals {snapshot.goals_met}/{snapshot.goals_total}"
    canvas.text((8, 6), status, fill=TEXT, font=font)


class HumanWindow:
    """A pygame window that shows frames at a fixed rate."""

    def __init__(self, fps: int) -> None:
        self._pygame = _import_pygame()
        self._fps = fps
        _open_display(self._pygame)
        self._screen = self._pygame.display.set_mode((FRAME_SIZE, FRAME_SIZE))
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
