"""Batched stepping: many environments per call, against the batched peers a user would pick.

Side by side in one interleaved run, in environment-steps per second, random actions, autoreset
on: raw `zandrel_cpp.Environment.step` (one environment, the baseline rate), SuperSuit's
`concat_vec_envs_v1` over `zandrel.parallel_env` (the batched route a Zandrel user has today),
VMAS `simple_spread` and JaxMARL MPE `simple_spread` at 64, 1,024 and 4,096 environments, and a
sweep of the number of environments from 1 to 4,096.

Usage: python benchmarks/batched.py [--rounds N] [--round-seconds S] [--plot PATH]
                                    [--no-peers] [--no-sweep]
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from contenders import (
    AGENT_VECTOR_ENV,
    CONTENDERS,
    JAXMARL,
    RAW,
    SCAN_STEPS,
    SUPERSUIT,
    VECTOR_ENV_1,
    VECTOR_ENV_2,
    VMAS,
    Contender,
    missing_modules,
)
from reports import (
    Target,
    batched_rows,
    draw_sweep,
    load,
    print_targets,
    section,
    sweep_rows,
    table,
)
from scenarios import (
    BATCH_SCENES,
    EPISODE_STEPS,
    PEER_TASK,
    PHYSICS_STEPS,
    SMALL,
    SUPERSUIT_ENVS,
    TABLE_SIZES,
    Scenario,
)
from timing import MIN_ROUND_SECONDS, Key, Race, add_timing_options, timed_rounds

# --- targets ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class Pick:
    """The best env-steps/s among some contenders at some batch sizes on one scene."""

    contenders: tuple[str, ...]
    sizes: tuple[int, ...]
    scene: Scenario = SMALL


@dataclass(frozen=True)
class RatioGoal:
    """`top` reaches at least `goal` times the rate of `bottom`, measured in the same run."""

    text: str
    top: Pick
    bottom: Pick
    goal: float


def ratio_goals() -> list[RatioGoal]:
    goals = []
    for scene in BATCH_SCENES:
        at_1024, at_64 = (1024,), (SUPERSUIT_ENVS,)
        vector_1 = Pick((VECTOR_ENV_1,), at_1024, scene)
        goals += [
            RatioGoal(
                f"{scene.counts}: vector_env, 1 thread, 1,024 envs against raw Environment.step",
                vector_1,
                Pick((RAW,), (1,), scene),
                2.0,
            ),
            RatioGoal(
                f"{scene.counts}: vector_env at 1,024 envs, 2 threads against 1 thread",
                Pick((VECTOR_ENV_2,), at_1024, scene),
                vector_1,
                1.7,
            ),
            RatioGoal(
                f"{scene.counts}: vector_env, 1 thread, against SuperSuit, both 64 envs",
                Pick((VECTOR_ENV_1,), at_64, scene),
                Pick((SUPERSUIT,), at_64, scene),
                20.0,
            ),
            RatioGoal(
                f"{scene.counts}: agent_vector_env against SuperSuit, both 64 envs",
                Pick((AGENT_VECTOR_ENV,), at_64, scene),
                Pick((SUPERSUIT,), at_64, scene),
                15.0,
            ),
        ]
    goals.append(
        RatioGoal(
            f"{SMALL.counts}: vector_env at its best against the best of VMAS and JaxMARL, "
            "each at its best of 64, 1,024 and 4,096 envs",
            Pick((VECTOR_ENV_1, VECTOR_ENV_2), TABLE_SIZES),
            Pick((VMAS, JAXMARL), TABLE_SIZES),
            2.0,
        )
    )
    return goals


# --- measurement ------------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument("--plot", type=Path, metavar="PATH", help="draw the sweep as a PNG")
    parser.add_argument("--no-peers", action="store_true", help="leave out VMAS and JaxMARL")
    parser.add_argument(
        "--no-sweep", action="store_true", help="only the main table's batch sizes, unless --plot"
    )
    args = parser.parse_args(argv)
    return run(
        args.rounds, args.round_seconds, args.plot, peers=not args.no_peers, sweep=not args.no_sweep
    )


def run(
    rounds: int,
    seconds: float,
    plot: Path | None = None,
    peers: bool = True,
    sweep: bool = True,
) -> list[Target]:
    """The batched race; `peers` brings in VMAS and JaxMARL, `sweep` (or a plot) the sweep."""
    sweep = sweep or plot is not None
    section(f"Batched stepping: environment-steps per second ({rounds} rounds)")
    print(
        f"Zandrel scenes: visit_all, dense rewards, {PHYSICS_STEPS} sub-steps, "
        f"{EPISODE_STEPS}-step episodes; peers: {PEER_TASK}, continuous actions, "
        f"{EPISODE_STEPS}-step episodes; random actions, ended episodes reset; "
        f"JaxMARL runs {SCAN_STEPS} steps per call"
    )
    print(
        f"best of each stepper's rounds; a round is whole episodes, at least "
        f"{max(seconds, MIN_ROUND_SECONDS)} s; {load()}"
    )
    started = time.perf_counter()
    race = build(peers, sweep)
    for name, reason in race.skipped.items():
        print(f"skipped {name}: {reason}")
    print(f"built and warmed up in {time.perf_counter() - started:.0f} s", flush=True)
    race.timings, race.rounds = timed_rounds(race.batches, rounds, seconds)
    print(table(*batched_rows(race)))
    if sweep:
        print(f"\nscaling sweep, {SMALL.counts} and the peers' {PEER_TASK}: env-steps/s")
        print(table(*sweep_rows(race)))
    if plot is not None:
        draw_sweep(plot, race)
        print(f"wrote {plot}")
    print(load())
    return [check(goal, race) for goal in ratio_goals()]


def build(peers: bool, sweep: bool) -> Race:
    """Every stepper of the run, built and stepped once before anything is timed."""
    race = Race()
    for name, contender in CONTENDERS.items():
        if contender.peer and not peers:
            race.skipped[name] = "left out with --no-peers"
            continue
        reason = missing_modules(contender.peer_modules)
        if reason is not None:
            race.skipped[name] = reason
            continue
        try:
            for key in contender_keys(name, contender, sweep):
                race.batches[key] = contender.make(key[2], scene_named(key[1]))
                race.batches[key].step()
        except Exception as error:
            if not contender.peer:
                raise
            # an optional peer that breaks is reported, not allowed to stop the run
            race.batches = {key: batch for key, batch in race.batches.items() if key[0] != name}
            race.skipped[name] = f"{type(error).__name__}: {error}"
    return race


def contender_keys(name: str, contender: Contender, sweep: bool) -> list[Key]:
    keys = []
    for scene in contender.scenes:
        sizes = set(contender.table_sizes)
        if sweep and scene is SMALL:
            sizes |= set(contender.sweep_sizes)
        keys += [(name, scene.name, size) for size in sorted(sizes)]
    return keys


def scene_named(name: str) -> Scenario:
    return next(scene for scene in BATCH_SCENES if scene.name == name)


def check(goal: RatioGoal, race: Race) -> Target:
    top, top_missing = best(goal.top, race)
    bottom, bottom_missing = best(goal.bottom, race)
    text = f"{goal.text} (target >= {goal.goal:g}x)"
    if top is None or bottom is None:
        absent = [*top_missing, *bottom_missing]
        return Target.not_measured(text, f"no figures for {'; '.join(absent)}")
    ratio = top / bottom
    note = f"; not measured: {'; '.join(bottom_missing)}" if bottom_missing else ""
    return Target(
        f"{goal.text}: {ratio:,.2f}x (target >= {goal.goal:g}x){note}", ratio >= goal.goal
    )


def best(pick: Pick, race: Race) -> tuple[float | None, list[str]]:
    """The best rate of the pick and the picked contenders with no figure in this run."""
    rates: list[float] = []
    missing = []
    for name in pick.contenders:
        found = [race.rate((name, pick.scene.name, size)) for size in pick.sizes]
        measured = [value for value in found if value is not None]
        rates += measured
        if not measured:
            missing.append(name)
    return (max(rates) if rates else None), missing


if __name__ == "__main__":
    print_targets(main())
