"""One episode of the built-in scripted team, recorded as an animated GIF.

Usage: python examples/heuristic_gif.py [PATH] [seed]   (PATH defaults to heuristic.gif)
"""

import sys
from pathlib import Path

from PIL import Image

import zandrel
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
    images[0].save(path, save_all=True, append_images=images[1:], duration=delay, loop=0)
    print(f"heuristic team: {outcome}, wrote {len(images)} frames to {path}")


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("heuristic.gif")
    main(target, int(sys.argv[2]) if len(sys.argv) > 2 else 0)
