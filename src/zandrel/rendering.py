"""Frames of the Zandrel plane drawn with Pillow, and a pygame window that shows them.

A frame is a square view of the plane above a legend strip. The view is centred on the
origin and sized for the spawn square; it stays fixed for an episode and only widens, by
whole zoom steps, when something leaves it, so the picture never drifts between frames.
It always holds the task (boulders and landmarks); a particle that walks far away widens
it by one zoom step at most, and beyond that shows as an arrow at the edge, so the task
never shrinks to a few pixels. With `visit_all`, a table in the legend strip shows which
boulders have visited which landmark.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from dataclasses import dataclass, replace
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
FRAME_HEIGHT = PLOT_SIZE + LEGEND_HEIGHT  # without the visit table of visit_all
SUPERSAMPLING = 2  # shapes are drawn this many times larger, then shrunk, for smooth edges
ZOOM_STEP = 2.0  # factor by which the view widens when something leaves it
PARTICLE_ZOOM_STEPS = 1  # zoom steps past the task's view that particles may widen it by
VIEW_MARGIN = 2.0  # plane units kept free around the start layout's outermost shape
GRID_SPACING = 10.0  # plane units between grid lines
PARTICLE_RADIUS = 1.0  # plane units; a particle touches a boulder at 6.0 between centres
MIN_PARTICLE_RADIUS = 4.0  # output pixels, so that particles stay visible in wide views
BOULDER_RADIUS = 5.0  # plane units; half the 10.0 spacing that boulders keep
ARRIVAL_RADIUS = ARRIVAL_DISTANCE  # plane units; a boulder centre inside this circle is on it
LANDMARK_REACH = ARRIVAL_RADIUS + 2.5  # plane units from a landmark kept in view: its label
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
# the visit table of visit_all under the legend (output pixels): a caption line, then
# groups of one square per boulder after each landmark's name, wrapped into lines
VISITS_CAPTION_ROW = PLOT_SIZE + LEGEND_HEIGHT + 8
VISITS_FIRST_ROW = VISITS_CAPTION_ROW + 20
VISIT_ROW_HEIGHT = 20
VISIT_CELL = 14  # side of a square
VISIT_CELL_GAP = 2
VISIT_NAME_WIDTH = 24  # room for "L12" before a landmark's squares
VISIT_GROUP_GAP = 12
VISITS_LEFT = 8
# off-view arrows (output pixels): how far inside the edge their tips stay, and their size
ARROW_INSET = 4.0
ARROW_LENGTH = 14.0
ARROW_HALF_WIDTH = 6.0

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
    """A square view centred on the origin: plane coordinates (y up) to pixels (y down).

    Its half width is `base_half_width` (the spawn view) times ZOOM_STEP ** `zoom`.
    """

    base_half_width: float  # plane units from the centre to the edges of the unzoomed view
    zoom: int = 0  # whole zoom steps the view has widened by
    size: int = PLOT_SIZE  # pixels per side

    @classmethod
    def for_spawn(cls, spawn_size: float, size: int = PLOT_SIZE) -> Camera:
        """The view that holds every start layout: the spawn square and landmark labels."""
        return cls(spawn_size / 2 + LANDMARK_REACH + VIEW_MARGIN, 0, size)

    @property
    def half_width(self) -> float:
        return self.base_half_width * ZOOM_STEP**self.zoom

    @property
    def pixels_per_unit(self) -> float:
        return self.size / (2 * self.half_width)

    def widened_for(self, snapshot: Snapshot) -> Camera:
        """This view, or one wider by whole zoom steps when something lies outside it.

        Boulders and landmarks always fit; particles widen the view by at most
        PARTICLE_ZOOM_STEPS past what the task needs, and farther ones are drawn as
        arrows at the edge (see `off_view_arrows`).
        """
        task = self._zoom_for(_task_reach(snapshot))
        particles = min(self._zoom_for(_particle_reach(snapshot)), task + PARTICLE_ZOOM_STEPS)
        zoom = max(self.zoom, task, particles)
        return self if zoom == self.zoom else replace(self, zoom=zoom)

    def scaled(self, factor: int) -> Camera:
        """The same view drawn with `factor` times as many pixels per side."""
        return replace(self, size=self.size * factor)

    def point(self, x: float, y: float) -> Pixel:
        half = self.size / 2
        return (half + x * self.pixels_per_unit, half - y * self.pixels_per_unit)

    def visible_range(self) -> tuple[float, float, float, float]:
        """Plane coordinates (left, bottom, right, top) of the view's edges."""
        return (-self.half_width, -self.half_width, self.half_width, self.half_width)

    def _zoom_for(self, reach: float) -> int:
        if reach <= self.base_half_width:
            return 0
        return math.ceil(math.log(reach / self.base_half_width, ZOOM_STEP))


def _extent(points: npt.NDArray[np.float64], radius: float) -> float:
    """The largest plane coordinate, in absolute value, of discs of `radius` at `points`."""
    extents = np.abs(points[np.isfinite(points).all(axis=1)])
    return float(extents.max()) + radius if extents.size else 0.0


def _task_reach(snapshot: Snapshot) -> float:
    return max(
        _extent(snapshot.boulders, BOULDER_RADIUS), _extent(snapshot.landmarks, LANDMARK_REACH)
    )


def _particle_reach(snapshot: Snapshot) -> float:
    return _extent(snapshot.particles, PARTICLE_RADIUS + HEADING_LENGTH)


@dataclass(frozen=True)
class OffViewArrow:
    """A particle outside the view, shown by an arrow at the edge that points to it."""

    particle: int
    tip: Pixel  # output pixels, just inside the edge
    direction: tuple[float, float]  # unit vector in pixel axes, from the centre outwards


def off_view_arrows(snapshot: Snapshot, camera: Camera) -> list[OffViewArrow]:
    """An arrow for every particle whose disc lies wholly outside the view."""
    arrows = []
    limit = camera.half_width + PARTICLE_RADIUS
    for index, (x, y) in enumerate(snapshot.particles):
        if not (math.isfinite(x) and math.isfinite(y)) or max(abs(x), abs(y)) <= limit:
            continue
        # where the line from the centre to the particle leaves the view, moved inside
        inside = camera.size / 2 - ARROW_INSET
        scale = inside / max(abs(x), abs(y))
        dx, dy = x * scale, -y * scale
        length = math.hypot(dx, dy)
        arrows.append(
            OffViewArrow(
                index, (camera.size / 2 + dx, camera.size / 2 + dy), (dx / length, dy / length)
            )
        )
    return arrows


def draw_frame(
    snapshot: Snapshot, camera: Camera, spawn_size: float, steps: int
) -> npt.NDArray[np.uint8]:
    """An RGB frame, FRAME_WIDTH pixels wide: the view above the legend.

    It is FRAME_HEIGHT pixels high, or `visit_table(...).height` with `visit_all`.
    """
    fine = camera.scaled(SUPERSAMPLING)
    table = _visit_table_of(snapshot)
    height = table.height if table else FRAME_HEIGHT
    image = Image.new(
        "RGB", (FRAME_WIDTH * SUPERSAMPLING, height * SUPERSAMPLING), LEGEND_BACKGROUND
    )
    canvas = ImageDraw.Draw(image)
    canvas.rectangle([0, 0, fine.size - 1, fine.size - 1], fill=BACKGROUND)
    _draw_grid(canvas, fine, spawn_size)
    _draw_landmarks(canvas, fine, snapshot)
    _draw_boulders(canvas, fine, snapshot)
    arrows = off_view_arrows(snapshot, camera)
    in_view = sorted(set(range(len(snapshot.particles))) - {a.particle for a in arrows})
    stacks = _particle_stacks(snapshot, fine, in_view)
    _draw_particles(canvas, fine, snapshot, stacks, in_view)
    for arrow in arrows:
        _arrow_marker(canvas, arrow, SUPERSAMPLING)
    _draw_legend_swatches(canvas)
    if table:
        _draw_visit_cells(canvas, table, snapshot.visits)
    # text is written after shrinking so that it stays sharp
    image = image.resize((FRAME_WIDTH, height), Image.Resampling.BOX)
    labels = ImageDraw.Draw(image)
    _label_plane(labels, camera, snapshot, stacks)
    _label_arrows(labels, arrows)
    _label_legend(labels, snapshot, steps)
    if table:
        _label_visit_table(labels, table, snapshot.visits)
    return np.array(image, dtype=np.uint8)


@dataclass(frozen=True)
class VisitTable:
    """Where the visit table of visit_all goes in the legend strip (output pixels)."""

    names: tuple[tuple[int, Pixel], ...]  # (landmark, left middle of its name)
    cells: tuple[tuple[int, int, tuple[float, float, float, float]], ...]  # landmark, boulder, box
    height: int  # of the whole frame


def visit_table(n_landmarks: int, n_boulders: int) -> VisitTable:
    """One group per landmark: its name, then a square per boulder, wrapped into lines."""
    names: list[tuple[int, Pixel]] = []
    cells: list[tuple[int, int, tuple[float, float, float, float]]] = []
    right_edge = FRAME_WIDTH - VISITS_LEFT
    group_width = VISIT_NAME_WIDTH + n_boulders * (VISIT_CELL + VISIT_CELL_GAP)
    line, x = 0, float(VISITS_LEFT)
    for landmark in range(n_landmarks):
        if x > VISITS_LEFT and x + group_width > right_edge:
            line, x = line + 1, float(VISITS_LEFT)
        names.append((landmark, (x, VISITS_FIRST_ROW + line * VISIT_ROW_HEIGHT)))
        x += VISIT_NAME_WIDTH
        for boulder in range(n_boulders):
            if x + VISIT_CELL > right_edge:
                # a group wider than the strip goes on under its name
                line, x = line + 1, float(VISITS_LEFT + VISIT_NAME_WIDTH)
            middle = VISITS_FIRST_ROW + line * VISIT_ROW_HEIGHT
            box = (x, middle - VISIT_CELL / 2, x + VISIT_CELL, middle + VISIT_CELL / 2)
            cells.append((landmark, boulder, box))
            x += VISIT_CELL + VISIT_CELL_GAP
        x += VISIT_GROUP_GAP - VISIT_CELL_GAP
    height = VISITS_FIRST_ROW + line * VISIT_ROW_HEIGHT + VISIT_ROW_HEIGHT // 2 + 4
    return VisitTable(tuple(names), tuple(cells), height)


def _visit_table_of(snapshot: Snapshot) -> VisitTable | None:
    if snapshot.visits is None or snapshot.visits.size == 0:
        return None
    return visit_table(*snapshot.visits.shape)


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


def _pip(canvas: ImageDraw.ImageDraw, box: tuple[float, ...], seen: bool) -> None:
    canvas.rectangle(box, fill=ZONE_HELD_EDGE if seen else BACKGROUND, outline=OUTLINE, width=2)


def _draw_visit_cells(
    canvas: ImageDraw.ImageDraw, table: VisitTable, visits: npt.NDArray[np.bool_]
) -> None:
    for landmark, boulder, box in table.cells:
        _pip(canvas, tuple(v * SUPERSAMPLING for v in box), bool(visits[landmark, boulder]))


def _label_visit_table(
    canvas: ImageDraw.ImageDraw, table: VisitTable, visits: npt.NDArray[np.bool_]
) -> None:
    font = ImageFont.load_default(size=LABEL_SIZE + 1)
    digits = ImageFont.load_default(size=9)
    caption = "visits: square b is filled once boulder b has been on the landmark"
    canvas.text((VISITS_LEFT, VISITS_CAPTION_ROW), caption, fill=TEXT, font=font, anchor="lm")
    for landmark, corner in table.names:
        canvas.text(corner, f"L{landmark}", fill=TEXT, font=font, anchor="lm")
    for landmark, boulder, (left, top, right, bottom) in table.cells:
        colour = CHECK if visits[landmark, boulder] else TEXT
        centre = ((left + right) / 2, (top + bottom) / 2)
        canvas.text(centre, str(boulder), fill=colour, font=digits, anchor="mm")


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


def _particle_stacks(snapshot: Snapshot, camera: Camera, in_view: list[int]) -> list[Stack]:
    """Particles grouped with the first earlier one whose disc would hide most of theirs."""
    radius = _particle_radius(camera)
    anchors: list[Pixel] = []
    members: list[list[int]] = []
    for index in in_view:
        centre = camera.point(*snapshot.particles[index])
        for anchor, group in zip(anchors, members, strict=True):
            if math.dist(anchor, centre) < radius:
                group.append(index)
                break
        else:
            anchors.append(centre)
            members.append([index])
    return [Stack(a, tuple(m)) for a, m in zip(anchors, members, strict=True)]


def _draw_particles(
    canvas: ImageDraw.ImageDraw,
    camera: Camera,
    snapshot: Snapshot,
    stacks: list[Stack],
    in_view: list[int],
) -> None:
    line_width = max(2, round(0.3 * camera.pixels_per_unit))
    for index in in_view:
        (x, y), (vx, vy) = snapshot.particles[index], snapshot.velocities[index]
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


def _arrow_marker(canvas: ImageDraw.ImageDraw, arrow: OffViewArrow, scale: float) -> None:
    """A triangle in the particle's colour whose tip points at the particle beyond the edge."""
    tip_x, tip_y = (value * scale for value in arrow.tip)
    ux, uy = arrow.direction
    base_x, base_y = tip_x - ux * ARROW_LENGTH * scale, tip_y - uy * ARROW_LENGTH * scale
    side_x, side_y = -uy * ARROW_HALF_WIDTH * scale, ux * ARROW_HALF_WIDTH * scale
    corners = [
        (tip_x, tip_y),
        (base_x + side_x, base_y + side_y),
        (base_x - side_x, base_y - side_y),
    ]
    canvas.polygon(corners, fill=_colour(arrow.particle), outline=OUTLINE, width=2)


def _label_arrows(canvas: ImageDraw.ImageDraw, arrows: list[OffViewArrow]) -> None:
    """Each arrow's particle index, just behind the arrow, towards the centre."""
    font = ImageFont.load_default(size=LABEL_SIZE)
    for arrow in arrows:
        ux, uy = arrow.direction
        behind = ARROW_LENGTH + 8
        corner = (arrow.tip[0] - ux * behind, arrow.tip[1] - uy * behind)
        _plate_text(canvas, corner, str(arrow.particle), font, anchor="mm")


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


def legend_entries() -> Iterator[tuple[str, float, float, str]]:
    """(kind, x, y, caption) of each legend entry, in output pixels."""
    yield "particle", 14, SHAPES_ROW, "particle i"
    yield "stack", 100, SHAPES_ROW, "stacked"
    yield "boulder", 175, SHAPES_ROW, "boulder b"
    yield "done", 262, SHAPES_ROW, "goal met, stays met"
    yield "empty", 14, LANDMARKS_ROW, "landmark, empty"
    yield "held", 140, LANDMARKS_ROW, "boulder on it now"
    yield "arrow", 262, LANDMARKS_ROW, "particle out of view"


def _draw_legend_swatches(canvas: ImageDraw.ImageDraw) -> None:
    scale = SUPERSAMPLING
    radius = SWATCH * scale
    for kind, x, y, _ in legend_entries():
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
            _arrow_marker(canvas, OffViewArrow(0, (x + SWATCH, y), (1.0, 0.0)), scale)


def _label_legend(canvas: ImageDraw.ImageDraw, snapshot: Snapshot, steps: int) -> None:
    font = ImageFont.load_default(size=FONT_SIZE)
    small = ImageFont.load_default(size=LABEL_SIZE + 1)
    canvas.line([(0, PLOT_SIZE), (FRAME_WIDTH, PLOT_SIZE)], fill=SPAWN_AREA, width=1)
    status = f"step {steps}    goals met {snapshot.goals_met}/{snapshot.goals_total}"
    canvas.text((8, STATUS_ROW), status, fill=TEXT, font=font, anchor="lm")
    for _, x, y, caption in legend_entries():
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
        # frames with a visit table are taller
        size = (frame.shape[1], frame.shape[0])
        if self._screen.get_size() != size:
            self._screen = self._pygame.display.set_mode(size)
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
