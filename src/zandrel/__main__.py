"""Run episodes of a built-in policy on Zandrel and report how they went.

Usage: ``python -m zandrel [--episodes N] [--policy heuristic|random|PATH] [--gif PATH] ...``
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import Image, features
from tqdm import tqdm

from zandrel.options import (
    KEYWORDS,
    ConfigError,
    add_config_arguments,
    config_from,
    non_negative_int,
    option_name,
    positive_int,
)
from zandrel.policies import Policy, make_policy
from zandrel.saved_policies import (
    SavedPolicy,
    SavedPolicyError,
    is_saved_policy,
    load_saved_policy,
    task_config,
)
from zandrel.zandrel_env import ZandrelEnv

# file extensions of the animation formats Pillow writes, with the format and its name
ANIMATIONS: dict[str, tuple[str, str]] = {
    ".gif": ("GIF", "GIF"),
    ".png": ("PNG", "animated PNG"),
    ".apng": ("PNG", "animated PNG"),
    **({".webp": ("WEBP", "animated WebP")} if features.check("webp") else {}),
}


@dataclass(frozen=True)
class EpisodeResult:
    episode_return: float
    length: int
    success: bool
    step_seconds: float  # inside env.step alone
    loop_seconds: float  # the whole episode: reset, policy, env.step and recording


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    config = config_from(args)
    saved = _saved_policy(parser, args)
    if saved is not None:
        defaults = {name: parser.get_default(name) for name in config}
        config = task_config(saved, config, defaults)
    try:
        env = ZandrelEnv(**config, render_mode="rgb_array" if args.gif else None)
    except ConfigError as error:
        parser.error(f"{_options_text(error.keywords)}: {error}")
    except ValueError as error:
        # other refusals (the start layout's) begin with the keyword they are about
        keyword = str(error).split(" ", 1)[0]
        named = keyword in KEYWORDS
        parser.error(f"{_options_text([keyword])}: {error}" if named else str(error))
    policy = make_policy(args.policy, args.seed) if saved is None else saved
    if saved is not None:
        try:
            saved.check(env)
        except SavedPolicyError as error:
            parser.error(f"argument --policy: {error}")
    frames: list[npt.NDArray[np.uint8]] = []
    results = []
    for episode in tqdm(range(args.episodes), desc=args.policy, unit="episode", file=sys.stderr):
        recording = frames if args.gif and episode == 0 else None
        results.append(_run_episode(env, policy, args.seed + episode, recording))
    env.close()
    if args.gif:
        _write_animation(args.gif, frames, env.metadata["render_fps"])
    summary = _summarise(results, args.policy, env.config.keywords())
    print(json.dumps(summary, indent=2) if args.json else _format_table(summary))
    return 0


def _saved_policy(parser: argparse.ArgumentParser, args: argparse.Namespace) -> SavedPolicy | None:
    if not is_saved_policy(args.policy):
        if args.stochastic:
            parser.error(
                f"argument --stochastic: only saved policies choose between their most likely "
                f"and sampled actions; {args.policy!r} is a built-in policy"
            )
        return None
    try:
        return load_saved_policy(args.policy, deterministic=not args.stochastic, seed=args.seed)
    except SavedPolicyError as error:
        parser.error(f"argument --policy: {error}")


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zandrel",
        description="Run episodes of a built-in policy on the Zandrel environment.",
    )
    parser.add_argument(
        "--episodes", type=positive_int, default=100, help="episodes to run (default: 100)"
    )
    parser.add_argument(
        "--seed",
        type=non_negative_int,
        default=0,
        help="episode i starts from seed + i (default: 0)",
    )
    parser.add_argument(
        "--policy",
        default="heuristic",
        metavar="heuristic|random|PATH",
        help="a built-in policy, or a saved one: the output folder of examples/train_ppo.py "
        "or a BenchMARL checkpoint (a .pt file or its experiment folder), which plays the task "
        "it was trained on unless environment options say otherwise (default: heuristic)",
    )
    parser.add_argument(
        "--stochastic",
        action="store_true",
        help="a saved policy samples its actions (seeded by --seed) instead of taking the most "
        "likely ones",
    )
    add_config_arguments(parser)
    parser.add_argument(
        "--gif",
        type=animation_path,
        metavar="PATH",
        help="write the first episode as an animation; the extension picks the format: "
        + ", ".join(ANIMATIONS),
    )
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    return parser


def _options_text(keywords: Sequence[str]) -> str:
    """How argparse names the options behind a refused configuration."""
    options = [option_name(keyword) for keyword in keywords]
    return ("argument " if len(options) == 1 else "arguments ") + ", ".join(options)


def animation_path(text: str) -> Path:
    """A path whose extension names a format Pillow animates, in a writable directory."""
    path = Path(text)
    expected = "expected a file name ending in " + ", ".join(ANIMATIONS)
    if path.suffix.lower() not in ANIMATIONS:
        came = f"the extension {path.suffix!r}" if path.suffix else "no extension"
        raise argparse.ArgumentTypeError(f"{expected}, got {came} in {text!r}")
    directory = path.parent
    if not directory.is_dir():
        raise argparse.ArgumentTypeError(f"the directory {str(directory)!r} does not exist")
    if path.is_dir():
        raise argparse.ArgumentTypeError(f"{expected}, got the directory {text!r}")
    if not os.access(directory, os.W_OK):
        raise argparse.ArgumentTypeError(f"the directory {str(directory)!r} is not writable")
    return path


def _run_episode(
    env: ZandrelEnv,
    policy: Policy,
    seed: int,
    frames: list[npt.NDArray[np.uint8]] | None,
) -> EpisodeResult:
    began = time.perf_counter()
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
    loop_seconds = time.perf_counter() - began
    return EpisodeResult(episode_return, env.steps, success, step_seconds, loop_seconds)


def _record(env: ZandrelEnv, frames: list[npt.NDArray[np.uint8]] | None) -> None:
    if frames is not None:
        frame = env.render()
        assert frame is not None
        frames.append(frame)


def _write_animation(path: Path, frames: list[npt.NDArray[np.uint8]], fps: int) -> None:
    image_format, name = ANIMATIONS[path.suffix.lower()]
    images = [Image.fromarray(frame) for frame in frames]
    images[0].save(
        path,
        format=image_format,
        save_all=True,
        append_images=images[1:],
        duration=round(1000 / fps),
        loop=0,
    )
    print(f"wrote {len(images)} frames to {path} ({name})", file=sys.stderr)


def _summarise(results: list[EpisodeResult], policy: str, config: dict[str, Any]) -> dict[str, Any]:
    steps = sum(result.length for result in results)
    step_seconds = sum(result.step_seconds for result in results)
    loop_seconds = sum(result.loop_seconds for result in results)
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
        "env_step_steps_per_second": _rate(steps, step_seconds),
        "loop_steps_per_second": _rate(steps, loop_seconds),
    }


def _rate(steps: int, seconds: float) -> float | None:
    return steps / seconds if seconds > 0 else None


def _format_table(summary: dict[str, Any]) -> str:
    rows = [
        ("policy", summary["policy"]),
        ("episodes", str(summary["episodes"])),
        (
            "success rate",
            f"{summary['success_rate']:.1%} ({summary['successes']}/{summary['episodes']})",
        ),
        ("mean return", f"{summary['mean_return']:.2f}"),
        ("mean episode length", f"{summary['mean_episode_length']:.1f}"),
        ("steps/s in env.step", _rate_text(summary["env_step_steps_per_second"])),
        ("steps/s, whole loop", _rate_text(summary["loop_steps_per_second"])),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def _rate_text(rate: float | None) -> str:
    return "n/a" if rate is None else f"{rate:,.0f}"


if __name__ == "__main__":
    sys.exit(main())
