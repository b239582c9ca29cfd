"""Zandrel tasks for BenchMARL: push_1x1, push_2x2, push_3x3 and visit_all_2x2.

Needs the `benchmarl` extra: ``pip install "zandrel[benchmarl]"``. Importing this module
registers the tasks with BenchMARL, as ``zandrel/<task>``; from Python::

    from zandrel.integrations.benchmarl import ZandrelTask
    task = ZandrelTask.PUSH_2X2.get_task()  # the configuration of conf/task/zandrel/push_2x2.yaml

and from BenchMARL's command line, where a Hydra plugin installed with Zandrel adds the
task configurations and registers the tasks::

    python -m benchmarl.run algorithm=mappo task=zandrel/push_1x1

Each task is one vectorised :func:`zandrel.integrations.torchrl.torchrl_env` holding
all of BenchMARL's environments, never one process per environment.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from pathlib import Path
from typing import Any

try:
    import torch
    from benchmarl.environments import Task, TaskClass, task_config_registry
    from benchmarl.utils import _read_yaml_config
    from torchrl.data import Composite
    from torchrl.envs import EnvBase
except ModuleNotFoundError as error:
    raise ImportError(
        f"zandrel.integrations.benchmarl needs BenchMARL ({error}); install the benchmarl "
        'extra: pip install "torch==2.13.*" "zandrel[benchmarl]"'
    ) from error

from zandrel.integrations.torchrl import GROUP, ZandrelTorchRLEnv, torchrl_env

ENVIRONMENT_NAME = "zandrel"
# Hydra's search path entry of the task configurations, conf/task/zandrel/*.yaml
CONFIG_SEARCH_PATH = "pkg://zandrel.integrations.benchmarl.conf"
TASK_CONFIG_DIRECTORY = Path(__file__).parent / "conf" / "task" / ENVIRONMENT_NAME


@dataclasses.dataclass
class TaskConfig:
    """The keywords of a Zandrel task: the first six are required, as every task's YAML sets them.

    A configuration given whole (BenchMARL's `get_task(config)`) thus cannot fall back on
    another task's counts by leaving them out.
    """

    n_agents: int
    n_boulders: int
    n_landmarks: int
    max_cycles: int | None
    visit_all: bool
    approach_shaping: float
    sparse_rewards: bool = False
    sparse_weight: float = 1.0
    n_physics_steps: int = 5
    spawn_size: float = 30.0
    # a "state" entry (the global state) for centralised critics; every agent observes it anyway
    state: bool = False


class ZandrelClass(TaskClass):
    """A Zandrel task: its configuration, and how BenchMARL builds and reads its environment."""

    def __init__(self, name: str, config: dict[str, Any] | None) -> None:
        try:
            checked = TaskConfig(**(config or {}))
        except TypeError as error:
            known = ", ".join(field.name for field in dataclasses.fields(TaskConfig))
            raise ValueError(
                f"Zandrel task {name.lower()!r}: {error}; a task configuration takes {known}"
            ) from None
        super().__init__(name, dataclasses.asdict(checked))

    def get_env_fun(
        self,
        num_envs: int,
        continuous_actions: bool,
        seed: int | None,
        device: Any,
    ) -> Callable[[], EnvBase]:
        if not continuous_actions:
            raise ValueError(
                "Zandrel tasks have continuous actions only; use an algorithm that supports them"
            )
        config = dict(self.config)

        def make() -> EnvBase:
            env = torchrl_env(num_envs, device=device, dtype=torch.float32, **config)
            env.set_seed(seed)
            return env

        return make

    def supports_continuous_actions(self) -> bool:
        return True

    def supports_discrete_actions(self) -> bool:
        return False

    def has_render(self, env: EnvBase) -> bool:
        return True

    def max_steps(self, env: EnvBase) -> int:
        return _zandrel_env(env).max_cycles

    def group_map(self, env: EnvBase) -> dict[str, list[str]]:
        return {GROUP: list(_zandrel_env(env).possible_agents)}

    # BenchMARL reads the specs of one environment of the batch
    def observation_spec(self, env: EnvBase) -> Composite:
        spec = env.full_observation_spec_unbatched.clone()
        if "state" in spec:
            del spec["state"]
        return spec

    def state_spec(self, env: EnvBase) -> Composite | None:
        spec = env.full_observation_spec_unbatched
        if "state" in spec:
            return Composite({"state": spec["state"].clone()})
        return None

    def info_spec(self, env: EnvBase) -> Composite | None:
        return None

    def action_spec(self, env: EnvBase) -> Composite:
        return env.full_action_spec_unbatched

    def action_mask_spec(self, env: EnvBase) -> Composite | None:
        return None

    @staticmethod
    def env_name() -> str:
        return ENVIRONMENT_NAME


class ZandrelTask(Task):
    """The Zandrel tasks; `get_task()` loads a task's configuration from its YAML."""

    PUSH_1X1 = None
    PUSH_2X2 = None
    PUSH_3X3 = None
    VISIT_ALL_2X2 = None

    @staticmethod
    def associated_class() -> type[ZandrelClass]:
        return ZandrelClass

    def get_from_yaml(self, path: str | None = None) -> TaskClass:
        """The task configured by `path`, by default the YAML shipped with Zandrel."""
        if path is None:
            path = str(TASK_CONFIG_DIRECTORY / f"{self.name.lower()}.yaml")
        return self.get_task(config=_read_yaml_config(path))


def register() -> None:
    """Make the tasks known to BenchMARL's task registry as ``zandrel/<task>``."""
    for task in ZandrelTask:
        task_config_registry[f"{ENVIRONMENT_NAME}/{task.name.lower()}"] = task


def _zandrel_env(env: EnvBase) -> ZandrelTorchRLEnv:
    """The Zandrel environment under BenchMARL's transforms."""
    base = getattr(env, "base_env", env)
    if not isinstance(base, ZandrelTorchRLEnv):
        raise TypeError(f"expected an environment of a Zandrel task, got {type(base).__name__}")
    return base


register()
