"""Scenes with enough pairs for the broad phase, and a digest of an episode in them.

Run as a script, `python broad_phase_scenes.py digest NAME STEPS` prints the digest of an
episode in scene NAME and `... model NAME STEPS` fails unless the native core and the
pure-Python model agree on it, so that tests can run them in a process started with the
test-only ZANDREL_BROAD_PHASE_MIN_PAIRS (0: every pass uses the grid; a huge count: every pass
runs its exhaustive loop).
"""

import hashlib
import sys

import numpy as np

LIMIT = 2.0**40  # coordinates the grid still bins


def uniform(rng, count, side, centre=0.0):
    return [float(v) for v in centre + rng.uniform(-side / 2, side / 2, 2 * count)]


def lattice(rng, count, pitch, cells):
    # integer lattices put many pairs exactly at 6 and 10 apart, and make ties
    return [float(v) for v in rng.integers(-cells, cells + 1, 2 * count) * pitch]


def ring(rng, count, radius, spread):
    angles = rng.uniform(0.0, 2 * np.pi, count)
    radii = radius + rng.uniform(-spread, spread, count)
    return [
        float(v) for v in np.column_stack([radii * np.cos(angles), radii * np.sin(angles)]).ravel()
    ]


def scene(name):
    """(particles, boulders, landmarks, visit_all, sparse_rewards) of one named scene."""
    rng = np.random.default_rng(sum(map(ord, name)))
    if name == "crowded":
        return uniform(rng, 40, 40.0), uniform(rng, 40, 40.0), uniform(rng, 16, 40.0), True, False
    if name == "lattice":
        parts, bould = lattice(rng, 40, 2.0, 12), lattice(rng, 40, 5.0, 5)
        return parts, bould, lattice(rng, 16, 3.0, 6), True, False
    if name == "spread":
        return (
            uniform(rng, 200, 300.0),
            uniform(rng, 200, 300.0),
            uniform(rng, 60, 300.0),
            False,
            False,
        )
    if name == "near-limit":
        # the largest coordinates the grid bins, where x / side rounds the most
        at = LIMIT - 100.0
        return (
            uniform(rng, 60, 60.0, at),
            uniform(rng, 60, 60.0, at),
            uniform(rng, 20, 60.0, at),
            True,
            False,
        )
    if name == "huge":
        parts, bould, lands, *modes = scene("spread")
        parts[0], bould[3], lands[4] = 1e300, LIMIT * 2, -1e15
        return parts, bould, lands, *modes
    if name == "infinite":
        parts, bould, lands, *modes = scene("crowded")
        parts[1], bould[2] = float("inf"), float("-inf")
        return parts, bould, lands, *modes
    if name == "far-landmarks":
        # nearest landmarks around the 1e7 ceiling of the shaping search (3,162 units)
        return (
            uniform(rng, 60, 80.0),
            uniform(rng, 60, 80.0),
            ring(rng, 30, 3162.0, 40.0),
            True,
            False,
        )
    raise ValueError(f"no scene named {name!r}")


def actions(rng, state, n_particles, n_boulders):
    """Each particle heads for a random boulder, with noise; a push now and then misses."""
    acts = {}
    for i in range(n_particles):
        b = 4 * n_particles + 2 * int(rng.integers(n_boulders))
        aim = np.array(state[b : b + 2]) - np.array(state[4 * i : 4 * i + 2])
        acts[f"particle_{i}"] = [float(v) for v in aim * 0.3 + rng.normal(0.0, 0.5, 2)]
    return acts


def episode(env, name, steps):
    """Per step the state, the reward's bits and the termination flag."""
    parts, bould, lands, visit_all, sparse = scene(name)
    env.init(parts, bould, lands, 5, sparse, visit_all, 0.5)
    state = list(env.reset()[0])
    rng = np.random.default_rng(1)
    out = []
    for _ in range(steps):
        result = env.step(actions(rng, state, len(parts) // 2, len(bould) // 2))
        state = list(result[0])
        first = next(iter(result[2]))
        out.append((np.array(state).tobytes(), result[2][first].hex(), result[3][first]))
    return out


def digest(name, steps):
    import zandrel_cpp

    hashed = hashlib.sha256()
    for state, reward, terminated in episode(zandrel_cpp.Environment(), name, steps):
        hashed.update(state + reward.encode() + bytes([terminated]))
    return hashed.hexdigest()


def same_as_model(name, steps):
    import zandrel_cpp
    from reference_model import ReferenceEnvironment

    native = episode(zandrel_cpp.Environment(), name, steps)
    return native == episode(ReferenceEnvironment(), name, steps)


if __name__ == "__main__":
    command, name, steps = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if command == "digest":
        print(digest(name, steps))
    elif not same_as_model(name, steps):
        sys.exit(f"{name}: the native core and the model differ")
