"""What an environment will hold in memory, estimated from its configuration alone.

The environments compare these estimates with `max_memory_bytes` before they allocate
anything, so that a batch too large for the machine is refused up front instead of
dying of MemoryError or the OOM killer half-way through its first step.
"""

from __future__ import annotations

from zandrel import _batch
from zandrel.options import (
    FLOAT64_BYTES,
    MAX_MEMORY_BYTES_VARIABLE,
    ConfigError,
    EnvConfig,
    bytes_text,
)

# glibc's malloc: an 8-byte header per chunk, chunks in steps of 16 bytes, at least 32
MALLOC_HEADER_BYTES = 8
MALLOC_STEP_BYTES = 16
MALLOC_MIN_BYTES = 32
INT32_BYTES = 4
FLAG_BYTES = 1  # a NumPy bool
ARRAY_OBJECT_BYTES = 96  # a NumPy array object without its data ...
ARRAY_AXIS_BYTES = 16  # ... and its shape and strides, per axis
POINTER_BYTES = 8  # one slot of an object array
ACTION_VALUE_BYTES = 4  # the action space is float32
LIVE_RESULT_SETS = 2  # the caller's last results and the new ones, or one kept for reuse
SEED_STATE_BYTES = 4 * 8  # four uint64 generator words per environment, while seeding


def heap_bytes(size: int) -> int:
    """What malloc takes for a block of `size` bytes; nothing for an empty vector."""
    if size == 0:
        return 0
    chunk = -(-(size + MALLOC_HEADER_BYTES) // MALLOC_STEP_BYTES) * MALLOC_STEP_BYTES
    return max(chunk, MALLOC_MIN_BYTES)


def record_bytes(config: EnvConfig) -> int:
    """The heap vectors of one simulation record: positions, velocities, flags, scratch."""
    particles = 2 * config.n_agents * FLOAT64_BYTES
    boulders = 2 * config.n_boulders * FLOAT64_BYTES
    landmarks = 2 * config.n_landmarks * FLOAT64_BYTES
    widest = max(config.n_agents, config.n_boulders, config.n_landmarks)
    vectors = [
        config.state_length * FLOAT64_BYTES,
        # start, current and target positions, velocities
        *[particles] * 4,
        # start and current positions, displacement scratch
        *[boulders] * 3,
        *[landmarks] * 2,
        # goal flags, one byte each
        config.n_landmarks * config.n_boulders,
        config.n_boulders,
        widest * FLOAT64_BYTES,
        widest * INT32_BYTES,
    ]
    return sum(heap_bytes(size) for size in vectors)


def observation_values(config: EnvConfig) -> int:
    """Values of one environment's observations: one row per agent, one with "state"."""
    return config.observation_rows * config.observation_length


def batch_bytes_per_env(config: EnvConfig, value_bytes: int, same_step: bool) -> int:
    """Bytes a vector env holds per environment at its peak.

    The engine's record and generator, the record's vectors, the batched observation and
    action spaces (bounds and their masks), the final-observation buffer, the caller's
    results twice (the last ones are alive while the new ones are made, and the pool keeps
    a freed set for reuse), the generator states while seeding, and with same-step
    autoreset the final observations of a step in which every episode ends.
    """
    values = observation_values(config)
    observation = values * value_bytes
    actions = config.n_agents * 2
    results = observation + FLOAT64_BYTES + 2 * FLAG_BYTES
    kept = (
        _batch.environment_bytes
        + record_bytes(config)
        + 2 * (observation + values * FLAG_BYTES)
        + 2 * actions * (ACTION_VALUE_BYTES + FLAG_BYTES)
        + observation
        + FLAG_BYTES
        + LIVE_RESULT_SETS * results
        + SEED_STATE_BYTES
    )
    if same_step:
        final = POINTER_BYTES + _array_bytes(2, observation) + 2 * FLAG_BYTES
        kept += LIVE_RESULT_SETS * final
    return kept


def agent_view_bytes_per_env(config: EnvConfig, value_bytes: int, same_step: bool) -> int:
    """What an agent vector env adds per team: its own spaces over the agents, its
    repeated rewards and flags, and with same-step autoreset one view per ended agent."""
    values = observation_values(config)
    actions = config.n_agents * 2
    repeated = config.n_agents * (FLOAT64_BYTES + 2 * FLAG_BYTES)
    added = (
        2 * values * (value_bytes + FLAG_BYTES)
        + 2 * actions * (ACTION_VALUE_BYTES + FLAG_BYTES)
        + LIVE_RESULT_SETS * repeated
    )
    if same_step:
        added += config.n_agents * (POINTER_BYTES + ARRAY_OBJECT_BYTES + ARRAY_AXIS_BYTES + 1)
    return added


def single_env_bytes(config: EnvConfig) -> int:
    """Bytes a single environment holds besides its episode's actions: its record, every
    agent's observation space (bounds and their masks), and the state and each agent's
    observation array, for the last step and the new one."""
    observation = config.observation_length * FLOAT64_BYTES
    spaces = 2 * observation_values(config) * (FLOAT64_BYTES + FLAG_BYTES)
    per_step = _array_bytes(1, observation) * (config.n_agents + 1)
    return record_bytes(config) + spaces + LIVE_RESULT_SETS * per_step


def check_memory(config: EnvConfig, estimate: int, what: str) -> None:
    """ConfigError naming the estimate, the limit and how to raise it, over the limit."""
    limit = config.max_memory_bytes
    assert limit is not None
    if estimate <= limit:
        return
    raise ConfigError(
        f"{what} would take about {bytes_text(estimate)} ({estimate:,} bytes) of memory, over "
        f"max_memory_bytes={limit:,}; pass a larger max_memory_bytes or set "
        f"{MAX_MEMORY_BYTES_VARIABLE} if the memory is there",
        "max_memory_bytes",
    )


def _array_bytes(axes: int, data: int) -> int:
    return ARRAY_OBJECT_BYTES + axes * ARRAY_AXIS_BYTES + heap_bytes(data)
