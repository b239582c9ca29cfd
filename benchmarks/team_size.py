"""How the cost of a step grows with the team: n particles, n boulders, n/2 landmarks.

Per team size n = 1, 2, 4, ..., 1,024 (to 4,096 with "local") and per observation mode
(global, relative, local; state in vector_env only): microseconds per env-step of
the raw `zandrel_cpp.Environment.step` and of `zandrel.vector_env` (one thread), the bytes of
results one env-step returns, and VMAS `simple_spread` with n agents at the same sizes. Sizes
whose step would take longer than the budget are skipped, and the output says so.

Usage: python benchmarks/team_size.py [--rounds N] [--round-seconds S] [--plot PATH]
                                      [--no-peers] [--max-size N]
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from contenders import VMAS_TORCH_THREADS, init_args, scenario_init_args
from reports import Target, micros, print_targets, section, table
from scenarios import EPISODE_STEPS, PHYSICS_STEPS, Scenario, action_arrays, copied, layout
from timing import Stepper, add_timing_options

import zandrel
from zandrel.native import new_core
from zandrel.options import REFERENCE_SPAWN_SIZE, EnvConfig, positive_int

TEAM_SIZES = tuple(2**k for k in range(11))  # 1 to 1,024
LOCAL_TEAM_SIZES = (*TEAM_SIZES, 2048, 4096)  # local observations stay small: larger teams too
ALL_SIZES = LOCAL_TEAM_SIZES
# observation modes and the environment keywords that select them; a mode is one more entry
OBSERVATION_MODES: dict[str, dict[str, Any]] = {
    "global": {},
    "relative": {"observation": "relative"},
    "local": {"observation": "local"},
    "state": {"observation": "state"},
}
RAW_MODES = ("global", "relative", "local")  # the single environment gives agents' rows
# the targets: the global raw step at 128 particles before the local mode and the broad
# phase, measured on the benchmark machine; the local raw step must be 10 times faster
GLOBAL_RAW_128_BEFORE_MICROS = 697.0
LOCAL_SPEEDUP_TARGET = 10.0
LOCAL_1024_STEPS_PER_SECOND = 100.0
# ranges over which the growth exponent is fitted
FIT_RANGES = ((1, 16), (16, 128), (128, 1024), (1024, 4096))
STEP_BUDGET = 1.0  # seconds: a size whose step would take longer is skipped, and larger ones
CASE_BUDGET = 2.0  # seconds of timed rounds per case and size at most
MIN_ROUNDS = 3
BATCH_AGENTS = 256  # agents per vector_env call: num_envs = 256 / n, at least one environment
SMALL_TEAM = 3  # the 3/3/3 scene, timed beside the sweep for the before/after comparison


@dataclass
class Series:
    """One curve: microseconds per env-step and result bytes per env-step by team size."""

    label: str
    micros: dict[int, float] = field(default_factory=dict)
    result_bytes: dict[int, int] = field(default_factory=dict)
    skipped: dict[int, str] = field(default_factory=dict)

    def skip_rest(self, size: int, reason: str) -> None:
        for later in ALL_SIZES:
            if later >= size:
                self.skipped[later] = reason


@dataclass(frozen=True)
class Runner:
    """Advances one case by `count` env-steps and returns the seconds it took."""

    run: Callable[[int], float]
    result_bytes: int  # bytes of the arrays one env-step returns


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument("--plot", type=Path, metavar="PATH", help="draw the curves as a PNG")
    parser.add_argument("--no-peers", action="store_true", help="leave VMAS out")
    parser.add_argument(
        "--max-size", type=positive_int, default=TEAM_SIZES[-1], help="largest team size"
    )
    args = parser.parse_args(argv)
    return run(args.rounds, args.round_seconds, args.plot, not args.no_peers, args.max_size)


def scenario(size: int) -> Scenario:
    return Scenario(f"n={size}", size, size, max(1, size // 2))


def spawn_size(size: int) -> float:
    # the default square holds 3 boulders; larger teams get the same room per boulder
    return REFERENCE_SPAWN_SIZE * math.sqrt(max(size, SMALL_TEAM) / SMALL_TEAM)


def run(
    rounds: int,
    seconds: float,
    plot: Path | None = None,
    peers: bool = True,
    max_size: int = TEAM_SIZES[-1],
) -> list[Target]:
    sizes = [size for size in TEAM_SIZES if size <= max_size]
    local_sizes = [size for size in LOCAL_TEAM_SIZES if size <= max(max_size, 4096)]
    section(
        f"Step cost against team size: n particles, n boulders, n/2 landmarks ({rounds} rounds)"
    )
    print(
        f"visit_all=True, dense rewards, {PHYSICS_STEPS} sub-steps; vector_env on 1 thread with "
        f"{BATCH_AGENTS}/n environments; sizes over a {STEP_BUDGET:g} s step are skipped"
    )
    series: list[Series] = []
    raw: dict[str, Series] = {}
    for mode, keywords in OBSERVATION_MODES.items():
        mode_sizes = local_sizes if mode == "local" else sizes
        if mode in RAW_MODES:
            raw[mode] = sweep(f"raw Environment.step, {mode}", mode_sizes, raw_runner, keywords)
            series.append(raw[mode])
        series.append(sweep(f"vector_env, 1 thread, {mode}", mode_sizes, vector_runner, keywords))
    if peers:
        series.append(sweep("VMAS simple_spread, n agents", sizes, vmas_runner, None))
    print(table(*timing_rows(series, [size for size in ALL_SIZES if size <= local_sizes[-1]])))
    print(table(*fit_rows(series)))
    for line in skip_lines(series):
        print(line)
    small = small_scene(rounds, seconds)
    print(
        f"3/3/3 scene: raw Environment.step {small['raw']:.2f} us/step, vector_env "
        f"{1e6 / small['vector']:,.0f} env-steps/s (1 thread, {BATCH_AGENTS // SMALL_TEAM} envs)"
    )
    if plot is not None:
        draw(plot, series)
        print(f"wrote {plot}")
    return local_targets(raw)


def local_targets(raw: dict[str, Series]) -> list[Target]:
    """The local mode's targets at 128 and 1,024 particles, from the raw single step."""
    local = raw["local"].micros
    goal = GLOBAL_RAW_128_BEFORE_MICROS / LOCAL_SPEEDUP_TARGET
    speed_text = (
        f"n=128: raw step with local observations at most {goal:.1f} us, "
        f"{LOCAL_SPEEDUP_TARGET:g}x faster than the global step before "
        f"({GLOBAL_RAW_128_BEFORE_MICROS:g} us)"
    )
    rate_text = (
        f"n=1024: raw step with local observations >= {LOCAL_1024_STEPS_PER_SECOND:g} env-steps/s"
    )
    targets = []
    if 128 in local:
        now = raw["global"].micros.get(128)
        against = "" if now is None else f"; global now {now:.1f} us"
        targets.append(Target(f"{speed_text}: {local[128]:.1f} us{against}", local[128] <= goal))
    else:
        targets.append(Target.not_measured(speed_text, "n=128 skipped"))
    if 1024 in local:
        steps = 1e6 / local[1024]
        targets.append(Target(f"{rate_text}: {steps:,.0f}", steps >= LOCAL_1024_STEPS_PER_SECOND))
    else:
        targets.append(Target.not_measured(rate_text, "n=1024 skipped"))
    return targets


# --- runners ------------------------------------------------------------------------------


def raw_runner(size: int, keywords: dict[str, Any]) -> Runner:
    """The native Environment on the seeded benchmark layout, restarted every 100 steps."""
    case = scenario(size)
    core = new_core()
    # the options carry the mode, so that the memory guard counts the mode's observations
    core.init(*init_args(layout(case), EnvConfig(**case.config(), **keywords)))
    if keywords:
        core.set_observation(**keywords)
    core.reset()
    episode = action_arrays(case)
    state, observations = core.step(copied(episode[:1])[0])[:2]
    result_bytes = state.nbytes + sum(array.nbytes for array in observations.values())
    return Runner(Stepper(core.step, core.reset, copied(episode)), result_bytes)


def vector_runner(size: int, keywords: dict[str, Any]) -> Runner:
    """zandrel.vector_env on one thread, random start layouts, autoreset, random actions."""
    num_envs = max(1, BATCH_AGENTS // size)
    env = zandrel.vector_env(
        num_envs,
        num_threads=1,
        autoreset_mode="same_step",  # the mode the published figures were measured in
        n_agents=size,
        n_boulders=size,
        n_landmarks=max(1, size // 2),
        n_physics_steps=PHYSICS_STEPS,
        sparse_rewards=False,
        visit_all=True,
        max_cycles=EPISODE_STEPS,
        spawn_size=spawn_size(size),
        **keywords,
    )
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    pool = [rng.uniform(-1.0, 1.0, (num_envs, size, 2)) for _ in range(4)]
    results = env.step(pool[0])
    result_bytes = sum(getattr(part, "nbytes", 0) for part in results[:4]) // num_envs

    def advance(count: int) -> float:
        calls = max(1, round(count / num_envs))
        started = time.perf_counter()
        for call in range(calls):
            env.step(pool[call % len(pool)])
        return (time.perf_counter() - started) * count / (calls * num_envs)

    return Runner(advance, result_bytes)


def vmas_runner(size: int, _: object) -> Runner:
    """VMAS simple_spread with n agents (and its n landmarks) on the CPU, one torch thread."""
    import torch
    import vmas

    torch.set_num_threads(VMAS_TORCH_THREADS)
    num_envs = max(1, BATCH_AGENTS // size)
    env = vmas.make_env(
        "simple_spread",
        num_envs=num_envs,
        device="cpu",
        continuous_actions=True,
        n_agents=size,
        seed=0,
        max_steps=EPISODE_STEPS,
    )
    env.reset()
    observations = env.step(env.get_random_actions())[0]
    result_bytes = sum(part.numel() * part.element_size() for part in observations) // num_envs

    def advance(count: int) -> float:
        calls = max(1, round(count / num_envs))
        elapsed = 0.0
        for _ in range(calls):
            actions = env.get_random_actions()
            started = time.perf_counter()
            dones = env.step(actions)[2]
            elapsed += time.perf_counter() - started
            if dones.any():
                env.reset()  # every environment ends at max_steps together; untimed
        return elapsed * count / (calls * num_envs)

    return Runner(advance, result_bytes)


# --- measurement ----------------------------------------------------------------------------


def sweep(
    label: str,
    sizes: Sequence[int],
    make: Callable[[int, Any], Runner],
    keywords: Any,
) -> Series:
    series = Series(label)
    for size in sizes:
        if size in series.skipped:
            continue
        predicted = predicted_step(series, size)
        if predicted > STEP_BUDGET:
            series.skip_rest(size, f"predicted {predicted:.1f} s per step")
            continue
        try:
            runner = make(size, keywords)
        except (ValueError, MemoryError) as error:
            series.skip_rest(size, f"refused: {error}".splitlines()[0][:100])
            continue
        probe = runner.run(1)
        if probe > STEP_BUDGET:
            series.skip_rest(size, f"one step took {probe:.1f} s")
            continue
        series.micros[size] = best_per_step(runner, probe) * 1e6
        series.result_bytes[size] = runner.result_bytes
    print(f"{label}: done", flush=True)
    return series


def predicted_step(series: Series, size: int) -> float:
    """Seconds per step at `size` from the last two sizes' growth; 0 without two sizes."""
    measured = sorted(series.micros)
    if len(measured) < 2:
        return 0.0
    low, high = measured[-2:]
    exponent = max(1.0, fitted_exponent(series, low, high))
    return series.micros[high] * 1e-6 * (size / high) ** exponent


def best_per_step(runner: Runner, probe: float) -> float:
    """Best round, in seconds per env-step; rounds of about 10 ms, within the case budget."""
    count = max(1, round(0.01 / max(probe, 1e-9)))
    rounds = max(MIN_ROUNDS, min(100, round(CASE_BUDGET / max(probe * count, 1e-9))))
    return min(runner.run(count) / count for _ in range(rounds))


def small_scene(rounds: int, seconds: float) -> dict[str, float]:
    """The 3/3/3 scene of the other benchmarks' small case, raw and batched, interleaved."""
    raw_case = Scenario("small", SMALL_TEAM, SMALL_TEAM, SMALL_TEAM)
    core = new_core()
    core.init(*scenario_init_args(raw_case))
    core.reset()
    raw = Stepper(core.step, core.reset, copied(action_arrays(raw_case)))
    num_envs = BATCH_AGENTS // SMALL_TEAM
    env = zandrel.vector_env(
        num_envs,
        num_threads=1,
        autoreset_mode="same_step",  # the mode the published figures were measured in
        n_agents=SMALL_TEAM,
        n_boulders=SMALL_TEAM,
        n_landmarks=SMALL_TEAM,
        n_physics_steps=PHYSICS_STEPS,
        sparse_rewards=False,
        visit_all=True,
        max_cycles=EPISODE_STEPS,
    )
    env.reset(seed=0)
    actions = np.random.default_rng(0).uniform(-1.0, 1.0, (num_envs, SMALL_TEAM, 2))
    raw_count = max(1, round(seconds / 5e-6))
    best = {"raw": math.inf, "vector": math.inf}
    for _ in range(rounds):
        best["raw"] = min(best["raw"], raw(raw_count) / raw_count * 1e6)
        started = time.perf_counter()
        env.step(actions)
        best["vector"] = min(best["vector"], (time.perf_counter() - started) / num_envs * 1e6)
    return best


# --- reports --------------------------------------------------------------------------------


def fitted_exponent(series: Series, low: int, high: int) -> float:
    """Least-squares slope of log(time) against log(n) over the sizes measured in [low, high]."""
    points = [(math.log(n), math.log(t)) for n, t in series.micros.items() if low <= n <= high]
    if len(points) < 2:
        return math.nan
    xs, ys = np.array(points).T
    return float(np.polyfit(xs, ys, 1)[0])


def timing_rows(series: list[Series], sizes: Sequence[int]) -> tuple[list[str], list[list[str]]]:
    header = ["n"]
    for item in series:
        header += [f"{item.label} us/env-step", "KiB/env-step"]
    body = []
    for size in sizes:
        row = [str(size)]
        for item in series:
            if size in item.micros:
                row += [micros(item.micros[size] * 1e-6), f"{item.result_bytes[size] / 1024:,.1f}"]
            else:
                row += ["skipped", ""]
        body.append(row)
    return header, body


def fit_rows(series: list[Series]) -> tuple[list[str], list[list[str]]]:
    header = ["fitted exponent k of time ~ n^k", *(f"n={lo}..{hi}" for lo, hi in FIT_RANGES)]
    body = []
    for item in series:
        exponents = (fitted_exponent(item, low, high) for low, high in FIT_RANGES)
        body.append([item.label, *("" if math.isnan(k) else f"{k:.2f}" for k in exponents)])
    return header, body


def skip_lines(series: list[Series]) -> list[str]:
    lines = []
    for item in series:
        if item.skipped:
            first = min(item.skipped)
            lines.append(f"{item.label}: n >= {first} skipped ({item.skipped[first]})")
    return lines


def draw(path: Path, series: list[Series]) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot as plt

    figure, (timing, memory) = plt.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
    for item in series:
        sizes = sorted(item.micros)
        timing.plot(sizes, [item.micros[n] for n in sizes], marker="o", label=item.label)
        memory.plot(sizes, [item.result_bytes[n] / 1024 for n in sizes], marker="o")
    timing.set_title("time per env-step")
    timing.set_ylabel("microseconds per env-step")
    memory.set_title("results returned per env-step")
    memory.set_ylabel("KiB per env-step")
    for axes in (timing, memory):
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xticks(ALL_SIZES, [str(size) for size in ALL_SIZES])
        axes.set_xlabel("particles = boulders (landmarks = n/2)")
        axes.grid(True, which="both", alpha=0.3)
    timing.legend(fontsize="small")
    figure.suptitle(f"Zandrel cost against team size, visit_all, dense, {PHYSICS_STEPS} sub-steps")
    figure.savefig(path, dpi=100)
    plt.close(figure)


if __name__ == "__main__":
    print_targets(main())
