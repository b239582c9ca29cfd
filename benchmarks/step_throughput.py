"""Raw Environment.step throughput of the native module against the pure-Python model.

Usage: python benchmarks/step_throughput.py [--rounds N] [--round-seconds S]
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

import numpy as np
from harness import (
    LARGEST,
    PHYSICS_STEPS,
    SIZES,
    SMALL,
    Scenario,
    Stepper,
    Target,
    Timing,
    action_arrays,
    as_lists,
    contacts,
    copied,
    micros,
    model_env,
    module_env,
    print_targets,
    race,
    rate,
    section,
    table,
    timed_main,
)

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


if __name__ == "__main__":
    print_targets(main())
