"""A TorchRL environment over the native batch, in TorchRL's multi-agent layout.

Needs the `torchrl` extra: ``pip install "zandrel[torchrl]"``.
"""

from __future__ import annotations

from typing import Any, Unpack

import numpy as np
import numpy.typing as npt
from gymnasium.vector import AutoresetMode

from zandrel.config import ZandrelConfig
from zandrel.rendering import Camera, draw_frame
from zandrel.snapshot import split_state
from zandrel.vector_env import ZandrelVectorEnv

try:
    import torch
    from tensordict import TensorDict, TensorDictBase
    from torchrl.data import Bounded, Categorical, Composite, Unbounded
    from torchrl.envs import EnvBase
except ModuleNotFoundError as error:
    raise ImportError(
        f"zandrel.integrations.torchrl needs torch and TorchRL ({error}); install the torchrl "
        'extra: pip install "torch==2.13.*" "zandrel[torchrl]"'
    ) from error

GROUP = "agents"
OBSERVATION_DTYPES = {torch.float32: np.float32, torch.float64: np.float64}


class ZandrelTorchRLEnv(EnvBase):
    """`num_envs` native Zandrel environments as one TorchRL environment of batch size [num_envs].

    The agents form one group, "agents", as TorchRL's multi-agent environments lay it out:

    - `("agents", "observation")`: (num_envs, n_agents, L), row a the observation of
      `particle_a` in `zandrel.parallel_env`, in `dtype`;
    - `("agents", "action")`: (num_envs, n_agents, 2), bounded to [-1, 1];
    - `("agents", "reward")`: (num_envs, n_agents, 1), the team reward for every agent;
    - `"done"`, `"terminated"`, `"truncated"`: (num_envs, 1), and the same flags per
      agent under "agents", (num_envs, n_agents, 1); an episode terminates when every goal
      is met and is truncated after `max_cycles` steps;
    - with `state=True`, `"state"`: (num_envs, L), the global state (the observation of
      particle 0, whose own values come first anyway), for centralised critics.

    Ended environments wait for a reset: TorchRL's `"_reset"` mask (at the root or per
    agent) starts new episodes in the selected environments only, in one native call.
    `set_seed(s)` makes the next reset of environment i start from seed `s + i`, which
    gives bit for bit the episodes of `zandrel.parallel_env` after `reset(seed=s + i)` under
    the same actions (with `dtype=torch.float64`; float32 rounds the observations).

    The engine writes each step's results into freshly allocated CPU tensors, so on the
    CPU nothing is copied, and the tensors a rollout keeps are never overwritten by a later
    step; another `device` receives one copy of each result. `render()` draws environment 0.
    Every keyword of `zandrel.parallel_env` except `render_mode` is accepted, as
    `zandrel.vector_env` accepts them; `num_threads` sets the engine's worker threads.
    """

    def __init__(
        self,
        num_envs: int,
        *,
        device: Any = "cpu",
        dtype: torch.dtype = torch.float32,
        state: bool = False,
        num_threads: int | None = None,
        **config: Unpack[ZandrelConfig],
    ) -> None:
        if dtype not in OBSERVATION_DTYPES:
            raise ValueError(f"dtype must be torch.float32 or torch.float64, got {dtype!r}")
        vector = ZandrelVectorEnv(
            num_envs,
            num_threads=num_threads,
            autoreset_mode=AutoresetMode.DISABLED,
            dtype=OBSERVATION_DTYPES[dtype],
            **config,
        )
        super().__init__(device=device, batch_size=torch.Size([vector.num_envs]))
        self.vector_env = vector
        self.observation_dtype = dtype
        self.with_state = state
        self.n_agents = vector.n_agents
        self.possible_agents = list(vector.possible_agents)
        self.group_map = {GROUP: self.possible_agents}
        self.spawn_size = vector.config.spawn_size
        self.max_cycles = vector.config.max_cycles
        self._pending_seeds: list[int | None] = [None] * vector.num_envs
        # the flags of each environment's last step, which hold until it is reset
        self._terminations = np.zeros(vector.num_envs, np.bool_)
        self._truncations = np.zeros(vector.num_envs, np.bool_)
        self._steps = np.zeros(vector.num_envs, np.int64)
        self._observations: torch.Tensor | None = None
        self._camera: Camera | None = None
        self._make_specs()

    def _make_specs(self) -> None:
        num_envs, n_agents = self.vector_env.num_envs, self.n_agents
        length = self.vector_env.observation_length
        per_agent = (num_envs, n_agents)
        observations = {
            GROUP: Composite(
                observation=Unbounded((*per_agent, length), dtype=self.observation_dtype),
                shape=per_agent,
            )
        }
        if self.with_state:
            observations["state"] = Unbounded((num_envs, length), dtype=self.observation_dtype)
        self.observation_spec = Composite(observations, shape=(num_envs,))
        self.action_spec = Composite(
            {
                GROUP: Composite(
                    action=Bounded(-1.0, 1.0, (*per_agent, 2), dtype=self.observation_dtype),
                    shape=per_agent,
                )
            },
            shape=(num_envs,),
        )
        self.reward_spec = Composite(
            {
                GROUP: Composite(
                    reward=Unbounded((*per_agent, 1), dtype=self.observation_dtype),
                    shape=per_agent,
                )
            },
            shape=(num_envs,),
        )
        self.done_spec = Composite(
            {
                **_flag_specs((num_envs, 1)),
                GROUP: Composite(_flag_specs((*per_agent, 1)), shape=per_agent),
            },
            shape=(num_envs,),
        )

    def _set_seed(self, seed: int | None) -> None:
        if seed is None:
            return
        if isinstance(seed, bool) or not isinstance(seed, int) or seed < 0:
            raise ValueError(f"seed must be None or an integer >= 0, got {seed!r}")
        self._pending_seeds = [seed + index for index in range(self.vector_env.num_envs)]

    def _reset(self, tensordict: TensorDictBase | None = None, **kwargs: Any) -> TensorDictBase:
        mask = self._reset_mask(tensordict)
        if not mask.any():
            # nothing selected: every environment keeps its episode; a copy, because the
            # last step's results hold these observations
            assert self._observations is not None
            return self._results(self._observations.clone(), None, *self._flags())
        seeds = [
            seed if selected else None
            for seed, selected in zip(self._pending_seeds, mask, strict=True)
        ]
        self._pending_seeds = [
            None if selected else seed
            for seed, selected in zip(self._pending_seeds, mask, strict=True)
        ]
        whole = bool(mask.all())
        observations, _ = self.vector_env.reset(
            seed=None if all(seed is None for seed in seeds) else seeds,
            options=None if whole else {"reset_mask": mask},
        )
        self._terminations &= ~mask
        self._truncations &= ~mask
        self._steps[mask] = 0
        if mask[0]:
            self._camera = None
        self._observations = torch.from_numpy(observations)
        return self._results(self._observations, None, *self._flags())

    def _step(self, tensordict: TensorDictBase) -> TensorDictBase:
        actions = tensordict.get((GROUP, "action")).detach()
        num_envs = self.vector_env.num_envs
        observations = torch.empty(
            (num_envs, self.n_agents, self.vector_env.observation_length),
            dtype=self.observation_dtype,
        )
        buffers = (
            observations.numpy(),
            np.empty(num_envs, np.float64),
            np.empty(num_envs, np.bool_),
            np.empty(num_envs, np.bool_),
        )
        _, rewards, terminations, truncations, _ = self.vector_env.step(
            actions.cpu().numpy(), out=buffers
        )
        self._terminations, self._truncations = terminations.copy(), truncations.copy()
        self._steps += 1
        self._observations = observations
        return self._results(observations, rewards, terminations, truncations)

    def _results(
        self,
        observations: torch.Tensor,
        rewards: npt.NDArray[np.float64] | None,
        terminations: npt.NDArray[np.bool_],
        truncations: npt.NDArray[np.bool_],
    ) -> TensorDictBase:
        num_envs, n_agents = self.vector_env.num_envs, self.n_agents
        terminated = torch.from_numpy(terminations).view(num_envs, 1)
        truncated = torch.from_numpy(truncations).view(num_envs, 1)
        flags = {"done": terminated | truncated, "terminated": terminated, "truncated": truncated}
        group: dict[str, torch.Tensor] = {"observation": observations}
        for name, flag in flags.items():
            # materialised: TorchRL writes into these in place, which broadcast views refuse
            group[name] = flag.view(num_envs, 1, 1).expand(num_envs, n_agents, 1).clone()
        if rewards is not None:
            team = torch.from_numpy(rewards).to(self.observation_dtype)
            group["reward"] = team.view(num_envs, 1, 1).expand(num_envs, n_agents, 1).clone()
        entries: dict[str, Any] = {
            **flags,
            GROUP: TensorDict(group, batch_size=(num_envs, n_agents)),
        }
        if self.with_state:
            entries["state"] = observations[:, 0].clone()
        results = TensorDict(entries, batch_size=(num_envs,))
        return results if self.device == torch.device("cpu") else results.to(self.device)

    def _flags(self) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
        return self._terminations.copy(), self._truncations.copy()

    def _reset_mask(self, tensordict: TensorDictBase | None) -> npt.NDArray[np.bool_]:
        """Which environments to reset: all, or those flagged by "_reset" at any level."""
        num_envs = self.vector_env.num_envs
        if tensordict is None:
            return np.ones(num_envs, np.bool_)
        flags = [
            tensordict.get(key).reshape(num_envs, -1).any(dim=1)
            for key in ("_reset", (GROUP, "_reset"))
            if key in tensordict.keys(include_nested=True)
        ]
        if not flags:
            return np.ones(num_envs, np.bool_)
        selected = torch.stack(flags).any(dim=0)
        return selected.cpu().numpy().copy()

    def render(self, mode: str = "rgb_array") -> npt.NDArray[np.uint8]:
        """A frame of environment 0 (uint8 RGB), drawn as `parallel_env` draws one."""
        if mode != "rgb_array":
            raise ValueError(f"render() draws frames: mode must be 'rgb_array', got {mode!r}")
        if self._observations is None:
            raise RuntimeError("render() needs a state to draw; call reset() first")
        config = self.vector_env.config
        # particle 0's observation is the global state: its own values come first anyway
        state = self._observations[0, 0].cpu().numpy().astype(np.float64)
        snapshot = split_state(
            state, config.n_agents, config.n_boulders, config.n_landmarks, config.visit_all
        )
        camera = self._camera or Camera.for_spawn(self.spawn_size)
        self._camera = camera.widened_for(snapshot)
        return draw_frame(snapshot, self._camera, self.spawn_size, int(self._steps[0]))

    def close(self, *, raise_if_closed: bool = True) -> None:
        self.vector_env.close()
        super().close(raise_if_closed=raise_if_closed)


def torchrl_env(
    num_envs: int,
    *,
    device: Any = "cpu",
    dtype: torch.dtype = torch.float32,
    state: bool = False,
    num_threads: int | None = None,
    **config: Unpack[ZandrelConfig],
) -> ZandrelTorchRLEnv:
    """`num_envs` native environments as one TorchRL environment; see :class:`ZandrelTorchRLEnv`."""
    return ZandrelTorchRLEnv(
        num_envs, device=device, dtype=dtype, state=state, num_threads=num_threads, **config
    )


def _flag_specs(shape: tuple[int, ...]) -> dict[str, Categorical]:
    return {
        name: Categorical(2, shape, dtype=torch.bool)
        for name in ("done", "terminated", "truncated")
    }
