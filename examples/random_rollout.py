"""One episode of uniform random actions on the default task, through the parallel API.

Usage: python examples/random_rollout.py [SEED]
"""

import argparse

import zandrel


def main(seed: int) -> None:
    env = zandrel.parallel_env()
    env.reset(seed=seed)
    # the action spaces draw from their own generator; seed them for a repeatable run
    for index, agent in enumerate(env.possible_agents):
        env.action_space(agent).seed(seed + index)
    episode_return = 0.0
    while env.agents:
        actions = {agent: env.action_space(agent).sample() for agent in env.agents}
        _, rewards, terminations, _, _ = env.step(actions)
        episode_return += rewards[env.possible_agents[0]]
    outcome = "solved" if all(terminations.values()) else "truncated"
    print(f"random actions: episode of {env.steps} steps, return {episode_return:.2f}, {outcome}")
    env.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="One episode of uniform random actions.")
    parser.add_argument(
        "seed", nargs="?", type=int, default=0, help="seed of the layout and actions (default: 0)"
    )
    main(parser.parse_args().seed)
