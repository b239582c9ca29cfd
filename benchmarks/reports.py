"""What the benchmarks print and draw: targets, tables, the machine, the plots."""

from __future__ import annotations

import contextlib
import importlib.metadata
import os
import platform
import shutil
import subprocess
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import zandrel_cpp
from contenders import CONTENDERS, RAW
from scenarios import PEER_TASK, PHYSICS_STEPS, SMALL, SWEEP_SIZES
from timing import Key, Race, Timing

# packages whose versions the figures depend on; the peers are optional
VERSIONED = ("zandrel", "pettingzoo", "supersuit", "mpe2", "torch", "vmas", "jax", "jaxmarl")


@dataclass(frozen=True)
class Target:
    """One goal the benchmarks check and print as PASS or FAIL, or as not measured."""

    text: str
    passed: bool
    # why the run could not check it; a target not measured has not passed either
    unmeasured: str | None = None

    @classmethod
    def not_measured(cls, text: str, reason: str) -> Target:
        return cls(text, passed=False, unmeasured=reason)

    def line(self) -> str:
        if self.unmeasured is not None:
            return f"----  {self.text}: not measured ({self.unmeasured})"
        return f"{'PASS' if self.passed else 'FAIL'}  {self.text}"


def print_targets(targets: Sequence[Target]) -> None:
    print("\n".join(target.line() for target in targets))


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Names in the first column to the left, figures to the right."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = [_table_line(header, widths), "  ".join("-" * width for width in widths)]
    return "\n".join(lines + [_table_line(row, widths) for row in rows])


def _table_line(cells: Sequence[str], widths: Sequence[int]) -> str:
    figures = [cell.rjust(width) for cell, width in zip(cells[1:], widths[1:], strict=True)]
    return "  ".join([cells[0].ljust(widths[0]), *figures])


def rate(value: float) -> str:
    return f"{value:,.0f}"


def micros(seconds: float) -> str:
    return f"{seconds * 1e6:,.2f}"


def section(title: str) -> None:
    print(f"\n== {title} ==", flush=True)


# --- the machine --------------------------------------------------------------------------


def machine() -> list[str]:
    """What the figures were measured on."""
    versions = ", ".join(f"{name} {_version(name)}" for name in VERSIONED)
    return [
        f"CPU: {_cpu_model()}, {os.cpu_count()} logical cores, "
        f"{len(os.sched_getaffinity(0))} usable",
        f"OS: {platform.platform()}",
        f"Python {platform.python_version()}, NumPy {np.__version__}, {versions}",
        f"zandrel_cpp built by: {_compiler()}",
        load(),
    ]


def load() -> str:
    """Other jobs on the machine slow every figure; the ratios are measured side by side."""
    one, five, fifteen = os.getloadavg()
    return f"load average: {one:.2f}, {five:.2f}, {fifteen:.2f}"


def _version(name: str) -> str:
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _cpu_model() -> str:
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def _compiler() -> str:
    # the compiler leaves its name in the .comment section of the extension
    readelf = shutil.which("readelf")
    if readelf is None or zandrel_cpp.__file__ is None:
        return "unknown (no readelf)"
    dump = subprocess.run(
        [readelf, "-p", ".comment", zandrel_cpp.__file__], capture_output=True, text=True
    ).stdout
    names = [line.split("]", 1)[1].strip() for line in dump.splitlines() if "]" in line]
    return "; ".join(dict.fromkeys(names)) or "unknown"


# --- the batched race -------------------------------------------------------------------


def batched_rows(race: Race) -> tuple[list[str], list[list[str]]]:
    """The main table: every contender at its table sizes, on each of its scenes."""
    header = ["system", "task", "envs", "env-steps/call", "ms/call", "env-steps/s", "median"]
    header += ["vs raw", "rounds"]
    rows = []
    for name, contender in CONTENDERS.items():
        for scene in contender.scenes:
            for size in contender.table_sizes:
                key = (name, scene.name, size)
                if key in race.timings:
                    timing, batch = race.timings[key], race.batches[key]
                    rows.append(
                        [
                            name,
                            contender.task(scene),
                            f"{size:,}",
                            f"{batch.env_steps:,}",
                            f"{timing.best * 1e3:,.3f}",
                            rate(batch.env_steps / timing.best),
                            rate(batch.env_steps / timing.median),
                            versus_raw(race, key),
                            str(race.rounds[key]),
                        ]
                    )
    return header, rows


def versus_raw(race: Race, key: Key) -> str:
    """A rate as a multiple of the raw single environment's on the same scene."""
    raw, value = race.rate((RAW, key[1], 1)), race.rate(key)
    return "" if raw is None or value is None else f"{value / raw:,.2f}x"


def sweep_rows(race: Race) -> tuple[list[str], list[list[str]]]:
    header = ["system", *(f"{size:,}" for size in SWEEP_SIZES)]
    rows = []
    for name in CONTENDERS:
        rates = [race.rate((name, SMALL.name, size)) for size in SWEEP_SIZES]
        if any(value is not None for value in rates):
            rows.append([name, *("" if value is None else rate(value) for value in rates)])
    return header, rows


def draw_sweep(path: Path, race: Race) -> None:
    """Env-steps per second against the batch size, one line per contender."""
    plt, figure, axes = _figure((8, 5))
    markers = iter("osD^v<>ph*")
    for name in CONTENDERS:
        points = [
            (size, value)
            for size in SWEEP_SIZES
            if (value := race.rate((name, SMALL.name, size))) is not None
        ]
        if len(points) > 1:
            sizes, rates = zip(*points, strict=True)
            axes.plot(sizes, rates, marker=next(markers), label=name)
        elif points:
            # one environment per call: a level line to compare the batches with
            axes.axhline(points[0][1], color="grey", linestyle="--", label=f"{name} (1 env)")
    axes.set_xscale("log", base=4)
    axes.set_yscale("log")
    axes.set_xticks(SWEEP_SIZES, [f"{size:,}" for size in SWEEP_SIZES])
    axes.set_xlabel("environments per call (num_envs)")
    axes.set_ylabel("environment-steps per second")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    axes.set_title(
        f"Batched stepping, random actions, autoreset\nZandrel {SMALL.counts}, "
        f"{PHYSICS_STEPS} sub-steps; peers {PEER_TASK}",
        fontsize="medium",
    )
    figure.savefig(path, dpi=100)
    plt.close(figure)


# --- step cost against team size -------------------------------------------------------------


def draw_team_sizes(
    path: Path, team_sizes: Sequence[int], raw: Sequence[Timing], wrapped: Sequence[Timing]
) -> None:
    """Time per step and per agent-step of the raw module and the wrapper."""
    plt, figure, (per_step, per_agent) = _figure((11, 4.5), columns=2)
    from matplotlib import ticker

    for timings, label, marker in (
        (raw, "zandrel_cpp Environment", "o"),
        (wrapped, "ZandrelEnv", "s"),
    ):
        step_us = [timing.best * 1e6 for timing in timings]
        per_step.plot(team_sizes, step_us, marker=marker, label=label)
        per_agent.plot(
            team_sizes, [t / n for t, n in zip(step_us, team_sizes, strict=True)], marker=marker
        )
    per_step.set_title("time per step")
    per_step.set_ylabel("microseconds per step")
    per_agent.set_title("time per agent-step")
    per_agent.set_ylabel("microseconds per agent-step")
    for axes in (per_step, per_agent):
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xticks(team_sizes, [str(size) for size in team_sizes])
        axes.yaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        axes.yaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
        axes.yaxis.set_minor_formatter(ticker.NullFormatter())
        axes.set_xlabel("particles = boulders (landmarks = n/4)")
        axes.grid(True, which="both", alpha=0.3)
    per_step.legend()
    figure.suptitle(f"Zandrel step cost, visit_all, dense rewards, {PHYSICS_STEPS} sub-steps")
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _figure(size: tuple[float, float], columns: int = 1) -> tuple[Any, Any, Any]:
    """pyplot, drawing to files only, and a new figure of `columns` axes side by side."""
    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot as plt

    figure, axes = plt.subplots(1, columns, figsize=size, layout="constrained")
    return plt, figure, axes
