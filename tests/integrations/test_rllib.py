"""RLlib on Zandrel: its PettingZoo wrapper, and PPO sampling on both nodes of a Ray cluster."""

import math
import os
import time
from pathlib import Path

import numpy as np
import pytest

import zandrel

# Ray and torch load inside the tests, so that collecting this file under the sanitizer,
# which leaves these tests out, does not load them into the sanitized interpreter
pytestmark = pytest.mark.ray


def live_processes():
    """Parent pid by (pid, start time) of every process that is running, not a zombie."""
    processes = {}
    for entry in Path("/proc").glob("[0-9]*"):
        try:
            stat = (entry / "stat").read_text()
        except (FileNotFoundError, ProcessLookupError):
            # the process ended while the table was read
            continue
        # the command name in brackets may hold spaces; the fields after it do not
        state, parent, *fields = stat[stat.rindex(")") + 2 :].split()
        if state != "Z":
            processes[int(entry.name), fields[18]] = int(parent)
    return processes


def descendants_of_this_process():
    processes = live_processes()
    below, parents = set(), {os.getpid()}
    while parents:
        children = {key for key, parent in processes.items() if parent in parents} - below
        below |= children
        parents = {pid for pid, _ in children}
    return below


def test_wrapper_steps_and_renders_without_patches():
    from ray.rllib.env.wrappers.pettingzoo_env import ParallelPettingZooEnv

    env = ParallelPettingZooEnv(zandrel.parallel_env(max_cycles=3, render_mode="rgb_array"))
    observations, _ = env.reset(seed=0)
    assert all(env.observation_space[agent].contains(obs) for agent, obs in observations.items())
    # the wrapper writes "__all__" into the dicts it gets: they must not reach the next step
    for step in range(3):
        actions = {agent: env.action_space[agent].sample() for agent in observations}
        observations, _, terminateds, truncateds, _ = env.step(actions)
        assert terminateds.keys() == truncateds.keys() == {*env.possible_agents, "__all__"}
        assert truncateds["__all__"] == (step == 2)
    assert np.array_equal(env.render(), env.par_env.render())


def test_ppo_iteration_samples_on_both_nodes_of_a_two_node_cluster(import_example, tmp_path):
    from ray.cluster_utils import Cluster

    rllib_ppo = import_example("rllib_ppo")
    # one CPU per node and one per env runner: the two runners cannot share a node
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    try:
        cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        node_ids = {node.node_id for node in cluster.list_all_nodes()}
        (report,) = rllib_ppo.train(
            {"max_cycles": 50},
            iterations=1,
            address=cluster.address,
            num_env_runners=2,
            train_batch_size=2000,
            num_epochs=1,
            checkpoint_dir=tmp_path / "checkpoint",
        )
        cluster_processes = descendants_of_this_process()
    finally:
        cluster.shutdown()

    assert len(node_ids) == 2
    assert cluster_processes, "found no process of the cluster to watch"
    assert report.env_steps_by_node.keys() == node_ids
    assert all(steps > 0 for steps in report.env_steps_by_node.values())
    assert sum(report.env_steps_by_node.values()) == report.env_steps >= 2000
    assert math.isfinite(report.team_return)
    assert 1 <= report.episode_length <= 50
    # the README's way to act with the saved policy
    import torch
    from ray.rllib.core.rl_module.rl_module import RLModule

    module = RLModule.from_checkpoint(
        tmp_path / "checkpoint/learner_group/learner/rl_module/shared"
    )
    observations, _ = zandrel.parallel_env().reset(seed=0)
    rows = torch.as_tensor(np.stack(list(observations.values())), dtype=torch.float32)
    assert module.forward_inference({"obs": rows})["action_dist_inputs"][:, :2].shape == (2, 2)
    # shut down means gone, also for workers that their raylet's end left to init; the
    # deadline bounds the wait for them to exit and is no speed check
    deadline = time.monotonic() + 60
    while left := cluster_processes & live_processes().keys():
        assert time.monotonic() < deadline, f"cluster processes still running: {sorted(left)}"
        time.sleep(0.5)
