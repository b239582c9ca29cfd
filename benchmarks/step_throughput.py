"""Raw Environment.step throughput of the native module against the pure-Python model.

Usage: python benchmarks/step_throughput.py [--rounds N] [--round-seconds S]
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
from contenders import model_env, module_env
from reports import Target, micros, print_targets, rate, section, table
from scenarios import (
    LARGEST,
    PHYSICS_STEPS,
    SIZES,
    SMALL,
    Actions,
    Scenario,
    action_arrays,
    as_lists,
    copied,
    layout,
)
from timing import Stepper, Timing, race, timed_main

from zandrel.config import BOULDER_SPACING, CONTACT_DISTANCE

CHECK_STEPS = 20  # steps compared bit for bit between module and model per scenario
TARGETS = {SMALL.name: 50.0, LARGEST.name: 100.0}  # module over model, float64 actions


def main(argv: Sequence[str] | None = None) -> list[Target]:
    return timed_main(__doc__.splitlines()[0], run, argv)


def run(rounds: int, seconds: float) -> list[Target]:
    section(f"Environment.step: native module against the pure-Python model ({rounds} rounds)")
    print(f"visit_all=True, dense rewards, {PHYSICS_STEPS} sub-steps; best round of each case")
    rows: list[list[str]] = []
    ratios: dict[str, float] = {}
    for scenario in SIZES:
        episode = action_arrays(scenario)
        print(f"{scenario.label}: {contacts(scenario, episode).summary()}")
        print(f"  {agreement(scenario, episode)}", flush=True)
        timings = race(runners(scenario, episode), rounds, seconds)
        for form in ("float64", "lists"):
            module, model = timings[f"module {form}"], timings[f"model {form}"]
            ratio = model.best / module.best
            rows.append(row(scenario, form, module, model, ratio))
            if form == "float64":
                ratios[scenario.name] = ratio
    header = ["scenario", "actions", "us/step", "median", "steps/s", "agent-steps/s"]
    print(table([*header, "model steps/s", "module/model"], rows))
    return [
        Target(
            f"{name} scenario, float64 actions: module {ratios[name]:,.0f}x the model's "
            f"step rate (target >= {goal:.0f}x)",
            ratios[name] >= goal,
        )
        for name, goal in TARGETS.items()
    ]


def runners(scenario: Scenario, episode: list) -> dict[str, Callable[[int], float]]:
    """Each case on its own environment, with its own copy of the actions."""
    runs = {}
    for kind, make in (("module", module_env), ("model", model_env)):
        for form, actions in (("float64", copied(episode)), ("lists", as_lists(episode))):
            env = make(scenario)
            runs[f"{kind} {form}"] = Stepper(env.step, env.reset, actions)
    return runs


def row(scenario: Scenario, form: str, module: Timing, model: Timing, ratio: float) -> list[str]:
    return [
        scenario.label,
        form,
        micros(module.best),
        micros(module.median),
        rate(module.rate),
        rate(module.rate * scenario.particles),
        rate(model.rate),
        f"{ratio:,.0f}x",
    ]


def agreement(scenario: Scenario, episode: list) -> str:
    """Whether module and model return the same bits on the benchmark's own actions."""
    module, model = module_env(scenario), model_env(scenario)
    for actions in as_lists(episode[:CHECK_STEPS]):
        ours, theirs = module.step(actions), model.step(actions)
        same_state = ours[0].tobytes() == np.array(theirs[0], dtype=np.float64).tobytes()
        same_reward = ours[2]["particle_0"].hex() == theirs[2]["particle_0"].hex()
        if not (same_state and same_reward):
            return f"module and model DIFFER within the first {CHECK_STEPS} steps"
    return f"module and model agree bit for bit over the first {CHECK_STEPS} steps"


@dataclass(frozen=True)
class Contacts:
    """What one episode of a scenario does, to show that its entities interact."""

    particles_touching: float  # share of particle-steps ending against a boulder
    boulder_pairs_touching: float  # boulder pairs 10 units apart or closer, per step
    boulder_travel: float  # mean distance a boulder moves in the episode
    goals_met: int
    goals_total: int

    def summary(self) -> str:
        return (
            f"particles touching a boulder {self.particles_touching:.0%} of steps, "
            f"{self.boulder_pairs_touching:.1f} boulder pairs touching per step, "
            f"boulders moved {self.boulder_travel:.1f} units, "
            f"{self.goals_met}/{self.goals_total} goals met"
        )


def contacts(scenario: Scenario, episode: list[Actions]) -> Contacts:
    core = module_env(scenario)
    states = np.array([core.step(actions)[0] for actions in as_lists(episode)])
    particles_end = 4 * scenario.particles
    boulders_end = particles_end + 2 * scenario.boulders
    particles = states[:, :particles_end].reshape(len(states), -1, 4)[:, :, :2]
    boulders = states[:, particles_end:boulders_end].reshape(len(states), -1, 2)
    # a pushed-out particle ends at the contact distance from the centre, up to rounding
    reach = np.linalg.norm(particles[:, :, None] - boulders[:, None], axis=3).min(axis=2)
    gaps = np.linalg.norm(boulders[:, :, None] - boulders[:, None], axis=3)
    upper = np.triu_indices(scenario.boulders, 1)
    flags = states[-1, boulders_end + 2 * scenario.landmarks :]
    boulders_at_start = layout(scenario).boulders
    return Contacts(
        particles_touching=float(np.mean(reach < CONTACT_DISTANCE + 1e-6)),
        boulder_pairs_touching=float(
            np.mean(np.sum(gaps[:, *upper] < BOULDER_SPACING + 1e-6, axis=1))
        ),
        boulder_travel=float(np.mean(np.linalg.norm(boulders[-1] - boulders_at_start, axis=1))),
        goals_met=int(flags.sum()),
        goals_total=len(flags),
    )


if __name__ == "__main__":
    print_targets(main())
