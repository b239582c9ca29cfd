"""Run episodes of a built-in policy on Zandrel and report how they went.

Usage: ``python -m zandrel [--episodes N] [--policy heuristic|random] [--gif PATH] ...``
"""

from __future__ import annotations

import argparse
import inspect
import json
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import Image
from tqdm import tqdm

from zandrel.policies import Policy, make_policy
from zandrel.zandrel_env import ZandrelEnv

# environment keywords offered as options, with their help text; defaults come from ZandrelEnv
CONFIG_OPTIONS: dict[str, tuple[type, str]] = {
    "n_agents": (int, "number of particles"),
    "n_boulders": (int, "number of boulders"),
    "n_landmarks": (int, "number of landmarks"),
    "n_physics_steps": (int, "physics sub-steps per step"),
    "sparse_weight": (float, "reward per newly visited (landmark, boulder) pair with --visit-all"),
    "max_cycles": (int, "steps before an episode is truncated"),
    "spawn_size": (float, "side of the square the entities start in (plane units)"),
}
CONFIG_FLAGS: dict[str, str] = {
    "sparse_rewards": "pay only for arrivals, without the dense shaping reward",
    "visit_all": "every boulder must visit every landmark, not just reach one",
}


@dataclass(frozen=True)
class EpisodeResult:
    episode_return: float
    length: int
    success: bool
    step_seconds: float


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    config = {name: getattr(args, name) for name in (*CONFIG_OPTIONS, *CONFIG_FLAGS)}
    try:
        env = ZandrelEnv(**config, render_mode="rgb_array" if args.gif else None)
    except ValueError as error:
        parser.error(str(error))
    policy = make_policy(args.policy, args.seed)
    frames: list[npt.NDArray[np.uint8]] = []
    results = []
    for episode in tqdm(range(args.episodes), desc=args.policy, unit="episode", file=sys.stderr):
        recording = frames if args.gif and episode == 0 else None
        results.append(_run_episode(env, policy, args.seed + episode, recording))
    env.close()
    if args.gif:
        _write_gif(args.gif, frames, env.metadata["render_fps"])
    summary = _summarise(results, args.policy, config)
    print(json.dumps(summary, indent=2) if args.json else _format_table(summary))
    return 0


def _build_parser() -> argparse.ArgumentParser:
    defaults = {
        name: parameter.default
        for name, parameter in inspect.signature(ZandrelEnv.__init__).parameters.items()
    }
    parser = argparse.ArgumentParser(
        prog="zandrel",
        description="Run episodes of a built-in policy on the Zandrel environment.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--episodes", type=_positive_int, default=100, help="episodes to run")
    parser.add_argument("--seed", type=int, default=0, help="episode i starts from seed + i")
    parser.add_argument(
        "--policy", choices=("heuristic", "random"), default="heuristic", help="built-in policy"
    )
    for name, (kind, help_text) in CONFIG_OPTIONS.items():
        parser.add_argument(_option(name), type=kind, default=defaults[name], help=help_text)
    for name, help_text in CONFIG_FLAGS.items():
        parser.add_argument(
            _option(name),
            action=argparse.BooleanOptionalAction,
            default=defaults[name],
            help=help_text,
        )
    parser.add_argument("--gif", type=Path, metavar="PATH", help="write the first episode as GIF")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    return parser


def _option(keyword: str) -> str:
    return "--" + keyword.replace("_", "-")


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be an integer >= 1, got {value}")
    return value


def _run_episode(
    env: ZandrelEnv,
    policy: Policy,
    seed: int,
    frames: list[npt.NDArray[np.uint8]] | None,
) -> EpisodeResult:
    env.reset(seed=seed)
    policy.reset()
    episode_return = 0.0
    success = False
    step_seconds = 0.0
    _record(env, frames)
    while env.agents:
        actions = policy(env)
        started = time.perf_counter()
        _, rewards, terminations, _, _ = env.step(actions)
        step_seconds += time.perf_counter() - started
        # the reward is shared, so one agent's reward is the team's
        episode_return += next(iter(rewards.values()))
        success = any(terminations.values())
        _record(env, frames)
    return EpisodeResult(episode_return, env.steps, success, step_seconds)


def _record(env: ZandrelEnv, frames: list[npt.NDArray[np.uint8]] | None) -> None:
    if frames is not None:
        frame = env.render()
        assert frame is not None
        frames.append(frame)


def _write_gif(path: Path, frames: list[npt.NDArray[np.uint8]], fps: int) -> None:
    images = [Image.fromarray(frame) for frame in frames]
    images[0].save(
        path, save_all=True, append_images=images[1:], duration=round(1000 / fps), loop=0
    )
    print(f"wrote {len(images)} frames to {path}", file=sys.stderr)


def _summarise(results: list[EpisodeResult], policy: str, config: dict[str, Any]) -> dict[str, Any]:
    steps = sum(result.length for result in results)
    step_seconds = sum(result.step_seconds for result in results)
    successes = sum(result.success for result in results)
    return {
        "policy": policy,
        "config": config,
        "episodes": len(results),
        "successes": successes,
        "success_rate": successes / len(results),
        "mean_return": float(np.mean([result.episode_return for result in results])),
        "mean_episode_length": steps / len(results),
        "steps": steps,
        "steps_per_second": steps / step_seconds if step_seconds > 0 else None,
    }


def _format_table(summary: dict[str, Any]) -> str:
    speed = summary["steps_per_second"]
    rows = [
        ("policy", summary["policy"]),
        ("episodes", str(summary["episodes"])),
        (
            "success rate",
            f"{summary['success_rate']:.1%} ({summary['successes']}/{summary['episodes']})",
        ),
        ("mean return", f"{summary['mean_return']:.2f}"),
        ("mean episode length", f"{summary['mean_episode_length']:.1f}"),
        ("env steps per second", "n/a" if speed is None else f"{speed:,.0f}"),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


if __name__ == "__main__":
    sys.exit(main())
