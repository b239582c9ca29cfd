"""One episode of the built-in scripted team, recorded as an animation.

Usage: python examples/heuristic_gif.py [PATH] [SEED]   (PATH defaults to heuristic.gif)
"""

import argparse
from pathlib import Path

from PIL import Image

import zandrel
from zandrel.__main__ import ANIMATIONS, animation_path
from zandrel.policies import HeuristicPolicy


def main(path: Path, seed: int) -> None:
    env = zandrel.parallel_env(render_mode="rgb_array")
    policy = HeuristicPolicy()
    env.reset(seed=seed)
    frames = [env.render()]
    while env.agents:
        _, _, terminations, _, _ = env.step(policy(env))
        frames.append(env.render())
    outcome = f"solved in {env.steps} steps" if all(terminations.values()) else "truncated"
    env.close()
    images = [Image.fromarray(frame) for frame in frames]
    # render_fps frames per second: 40 ms per frame
    delay = round(1000 / env.metadata["render_fps"])
    image_format, _ = ANIMATIONS[path.suffix.lower()]
    images[0].save(
        path, format=image_format, save_all=True, append_images=images[1:], duration=delay, loop=0
    )
    print(f"heuristic team: {outcome}, wrote {len(images)} frames to {path}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Record one episode of the scripted team.")
    parser.add_argument(
        "path",
        nargs="?",
        type=animation_path,
        default=Path("heuristic.gif"),
        help=f"animation to write, ending in {', '.join(ANIMATIONS)} (default: heuristic.gif)",
    )
    parser.add_argument(
        "seed", nargs="?", type=int, default=0, help="seed of the layout (default: 0)"
    )
    arguments = parser.parse_args()
    main(arguments.path, arguments.seed)
