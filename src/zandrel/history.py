"""The actions of an episode, kept compactly so that a pickled environment can replay them."""

from __future__ import annotations

import math
from array import array
from collections.abc import Iterator, Mapping, Sequence
from itertools import repeat

import numpy as np

# step() refuses NaN actions, so NaN is free to mark an agent left out of a step
NO_ACTION = (math.nan, math.nan)
REPLAY_CHUNK_STEPS = 4096  # steps kept in one array, and replayed at a time


class ActionHistory:
    """Each step's actions as two float64 per agent, in agent order, in growable arrays.

    An agent left out of a step is kept as NaN, not as (0, 0): it keeps its last
    velocity, which the state reports. The steps fill arrays of `REPLAY_CHUNK_STEPS`
    steps each, one after the other: a long episode never moves or frees what it has
    kept, so it leaves no freed blocks behind in the heap, and each array grows like a
    list, by about a sixteenth of its length at a time. The history takes at most 17
    bytes per agent-step plus a fixed amount; from pickle protocol 3 on (the default) it
    pickles as its raw bytes, 16 per agent-step.
    """

    def __init__(self, agents: Sequence[str]) -> None:
        self._agents = tuple(agents)
        self._chunk_length = REPLAY_CHUNK_STEPS * 2 * len(self._agents)
        self._chunks = [array("d")]

    def record(self, actions: Mapping[str, tuple[float, float]]) -> None:
        """Keep one step's actions, as the floats the core was given."""
        if len(self._chunks[-1]) == self._chunk_length:
            self._chunks.append(array("d"))
        self._chunks[-1].fromlist(
            [value for agent in self._agents for value in actions.get(agent, NO_ACTION)]
        )

    def __iter__(self) -> Iterator[dict[str, tuple[float, float]]]:
        """Each step's actions again: the same floats for the same agents, in agent order."""
        agents = self._agents
        width = 2 * len(agents)
        for kept in self._chunks:
            # a copy, so that no view keeps the last array from growing afterwards
            chunk = kept[:]
            steps = len(chunk) // width
            values = iter(chunk.tolist())
            # one stream of pairs for the whole chunk: zip over the agents stops at the
            # last agent without taking a pair, so each step takes exactly its own
            pairs = zip(values, values, strict=False)
            if np.isnan(np.frombuffer(chunk, dtype=np.float64)).any():
                for _ in range(steps):
                    # NaN is the one float unequal to itself
                    step = zip(agents, pairs, strict=False)
                    yield {agent: pair for agent, pair in step if pair[0] == pair[0]}
            else:
                yield from map(dict, map(zip, repeat(agents, steps), repeat(pairs)))

    def __sizeof__(self) -> int:
        chunks = sum(chunk.__sizeof__() for chunk in self._chunks)
        return object.__sizeof__(self) + self._chunks.__sizeof__() + chunks
