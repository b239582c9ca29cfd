"""How the benchmarks time: steppers, calibrated rounds interleaved across contenders."""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TypeVar

from zandrel.options import positive_int

MIN_ROUNDS = 3  # timed rounds of a batch whose calls are too long for the time budget
# shortest timed round of a batch (seconds): a JaxMARL call at 4,096 envs lasts about half a
# second, and on a loaded machine the best of many short rounds catches quiet spells that a
# long round never sees, which would flatter every cheap stepper against the long ones
MIN_ROUND_SECONDS = 0.2

Run = Callable[[int], float]  # seconds spent in a given number of steps or calls
Result = TypeVar("Result")


class Stepper:
    """Steps an environment through repeated episodes; only the steps are timed."""

    def __init__(
        self, step: Callable[[Any], object], reset: Callable[[], object], episode: Sequence[Any]
    ) -> None:
        self._step = step
        self._reset = reset
        self._episode = episode
        self._done = len(episode)  # steps taken in the current episode

    def __call__(self, count: int) -> float:
        """Seconds spent in `count` steps."""
        elapsed = 0.0
        while count:
            if self._done == len(self._episode):
                self._reset()
                self._done = 0
            batch = self._episode[self._done : self._done + count]
            step = self._step
            started = time.perf_counter()
            for actions in batch:
                step(actions)
            elapsed += time.perf_counter() - started
            self._done += len(batch)
            count -= len(batch)
        return elapsed


@dataclass(frozen=True)
class Batch:
    """A stepper: each call of `step` advances a batch of environments by one step or more."""

    step: Callable[[], object]
    env_steps: int  # environment-steps per call
    # calls between the episode ends of a batch whose environments all end together; a timed
    # round is a whole number of these, so that every round pays its share of resets
    calls_per_episode: int


@dataclass(frozen=True)
class Timing:
    """Seconds per step (or per call) over the timed rounds."""

    best: float
    median: float
    steps: int

    @property
    def rate(self) -> float:
        return 1.0 / self.best


Key = tuple[str, str, int]  # contender, scenario name, num_envs


@dataclass
class Race:
    """The batches of one run, what they measured and the contenders left out."""

    batches: dict[Key, Batch] = field(default_factory=dict)
    timings: dict[Key, Timing] = field(default_factory=dict)
    rounds: dict[Key, int] = field(default_factory=dict)  # timed rounds of each batch
    skipped: dict[str, str] = field(default_factory=dict)  # contender -> reason

    def rate(self, key: Key) -> float | None:
        """Environment-steps per second of a batch's best round; None if it was not timed."""
        timing = self.timings.get(key)
        return None if timing is None else self.batches[key].env_steps / timing.best


def calibrate(run: Run, seconds: float, period: int = 1) -> tuple[int, float]:
    """Steps in a round of about `seconds`, a whole number of periods, and that round's time."""
    count = period
    elapsed = run(count)
    while elapsed < seconds / 8:
        count *= 4
        elapsed = run(count)
    periods = max(1, round(count * seconds / elapsed / period))
    return periods * period, elapsed * periods * period / count


def race(runs: dict[str, Run], rounds: int, seconds: float) -> dict[str, Timing]:
    """Time each run in interleaved rounds, so load from other jobs hits all of them alike."""
    counts = {name: calibrate(run, seconds)[0] for name, run in runs.items()}
    samples: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            samples[name].append(run(counts[name]) / counts[name])
    return {
        name: Timing(min(times), statistics.median(times), counts[name] * rounds)
        for name, times in samples.items()
    }


def timed_rounds(
    batches: dict[Key, Batch], rounds: int, seconds: float
) -> tuple[dict[Key, Timing], dict[Key, int]]:
    """Interleaved rounds of whole episodes; batches with long calls sit out some rounds.

    Each batch gets about `rounds * seconds` of timed work, in at least MIN_ROUNDS rounds
    of at least MIN_ROUND_SECONDS, spread evenly over the run so that load from other jobs
    falls on all of them alike.
    """
    runs = {key: call_loop(batch.step) for key, batch in batches.items()}
    counts: dict[Key, int] = {}
    turns: dict[Key, int] = {}
    round_seconds = max(seconds, MIN_ROUND_SECONDS)
    for key, batch in batches.items():
        counts[key], round_time = calibrate(runs[key], round_seconds, batch.calls_per_episode)
        turns[key] = min(rounds, max(MIN_ROUNDS, int(rounds * seconds / round_time)))
    samples: dict[Key, list[float]] = {key: [] for key in batches}
    for index in range(rounds):
        for key, run in runs.items():
            if takes_turn(index, turns[key], rounds):
                samples[key].append(run(counts[key]) / counts[key])
    timings = {
        key: Timing(min(times), statistics.median(times), counts[key] * len(times))
        for key, times in samples.items()
    }
    return timings, turns


def takes_turn(index: int, turns: int, rounds: int) -> bool:
    """Whether round `index` is one of `turns` evenly spaced rounds out of `rounds`."""
    return (index + 1) * turns // rounds > index * turns // rounds


def call_loop(step: Callable[[], object]) -> Run:
    def run(count: int) -> float:
        started = time.perf_counter()
        for _ in range(count):
            step()
        return time.perf_counter() - started

    return run


def add_timing_options(parser: argparse.ArgumentParser) -> None:
    # many short rounds: on a shared machine some of them run without being preempted
    parser.add_argument("--rounds", type=positive_int, default=100, help="timed rounds per case")
    parser.add_argument(
        "--round-seconds", type=float, default=0.01, help="length of one timed round"
    )


def timed_main(
    description: str, run: Callable[[int, float], Result], argv: Sequence[str] | None
) -> Result:
    """Command line of a benchmark that takes only the timing options."""
    parser = argparse.ArgumentParser(description=description)
    add_timing_options(parser)
    args = parser.parse_args(argv)
    return run(args.rounds, args.round_seconds)
