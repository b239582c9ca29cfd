"""Pure-Python model of the Zandrel simulation, written for bit-for-bit comparison.

Every geometric quantity is a Python float (an IEEE double, each operation rounded on its
own), and every sum is formed in the same order and grouping as the native core.
"""

from math import sqrt

import numpy as np

CONTACT = 6.0
CONTACT_SQ = 36.0
SPACING = 10.0
SPACING_SQ = 100.0
SPACE = " \t\n\v\f\r"
DIGITS = "0123456789"
INT_MIN, INT_MAX = -(2**31), 2**31 - 1


def parse_index(key) -> int:
    """Agent index from a key: the integer leading the text after the first "_" (stoi rules)."""
    text = str(key)
    cut = text.find("_")
    text = text[cut + 1 :] if cut >= 0 else text
    pos = 0
    while pos < len(text) and text[pos] in SPACE:
        pos += 1
    start = pos
    if pos < len(text) and text[pos] in "+-":
        pos += 1
    end = pos
    while end < len(text) and text[end] in DIGITS:
        end += 1
    if end == pos:
        raise ValueError("invalid stoi argument")
    value = int(text[start:end])
    if not INT_MIN <= value <= INT_MAX:
        raise IndexError("stoi argument out of range")
    return value


def agent_name(i: int) -> str:
    return f"particle_{i}"


class ReferenceEnvironment:
    def __init__(self):
        # counters survive init and only change in reset and the goal update
        self.unvisited = 1
        self.remaining = 1
        self.shaping = 0.0
        self.initial = ([], [], [])
        self.n_physics_steps = 5
        self.sparse_rewards = True
        self.visit_all = True
        self.sparse_weight = 1.0
        self.npart = self.nb = self.nl = 0
        self._restore()

    def init(
        self, particles, boulders, landmarks, n_physics_steps, sparse_rewards, visit_all, weight
    ):
        self.n_physics_steps = int(n_physics_steps)
        self.sparse_rewards = bool(sparse_rewards)
        self.visit_all = bool(visit_all)
        self.sparse_weight = float(weight)
        self.initial = tuple([float(v) for v in seq] for seq in (particles, boulders, landmarks))
        self.npart, self.nb, self.nl = (len(seq) // 2 for seq in self.initial)
        self._restore()

    def _restore(self):
        parts, bould, lands = self.initial
        self.pos = parts[:]
        self.bould = bould[:]
        self.lands = lands[:]
        self.target = parts[:]
        self.vel = [0.0] * len(parts)
        self.visited = [False] * (self.nl * self.nb)
        self.done = [False] * self.nb

    def reset(self):
        if not self.initial[0]:
            raise RuntimeError(
                "Environment must be initialized with init() before reset() can be called."
            )
        self._restore()
        self.unvisited = self.remaining = 1
        state = self.build_state()
        return state, self.build_observations(state)

    def apply_actions(self, actions):
        # dict.items sees the dict's own insertion order, even for reordered subclasses
        for key, value in dict.items(actions):
            arr = flat = None
            if type(value) in (list, tuple) and len(value) >= 2 and type(value[0]) is float:
                # plain floats convert to themselves: skip the array round trip
                ax, ay = value[0], float(value[1])
            else:
                native = type(value) is np.ndarray and value.dtype == np.float64
                arr = value if native and value.dtype.isnative else np.asarray(value, np.float64)
                if arr.size < 2:
                    raise ValueError("an action needs at least two components")
                flat = arr.reshape(-1)
                ax, ay = float(flat[0]), float(flat[1])
            i = parse_index(key)
            ax = 1.0 if ax > 1.0 else (-1.0 if ax < -1.0 else ax)
            ay = 1.0 if ay > 1.0 else (-1.0 if ay < -1.0 else ay)
            n = sqrt(ax * ax + ay * ay)
            d = 1.0 if n < 1.0 else n
            ax = ax / d
            ay = ay / d
            # only the caller's own writable float64 array sees the normalised action
            if arr is value and arr.flags.writeable:
                flat[0] = ax
                flat[1] = ay
            if 0 <= i < self.npart:
                self.vel[2 * i] = ax
                self.vel[2 * i + 1] = ay
                self.target[2 * i] = self.pos[2 * i] + ax * 0.1
                self.target[2 * i + 1] = self.pos[2 * i + 1] + ay * 0.1

    def physics_substep(self):
        bould, target, nb, npart = self.bould, self.target, self.nb, self.npart
        disp = [0.0] * (2 * nb)
        # particles push boulders from their targets
        for b in range(nb):
            bx, by = bould[2 * b], bould[2 * b + 1]
            sx = sy = 0.0
            for p in range(npart):
                dx = bx - target[2 * p]
                dy = by - target[2 * p + 1]
                s = dx * dx + dy * dy
                if 0.0 < s < CONTACT_SQ:
                    r = sqrt(s)
                    m = (CONTACT - r) * 0.2
                    sx = sx + (dx / r) * m
                    sy = sy + (dy / r) * m
            disp[2 * b] = sx + disp[2 * b]
            disp[2 * b + 1] = sy + disp[2 * b + 1]
        # overlapping boulders move apart, tested at their start-of-sub-step positions
        for j in range(nb):
            for k in range(j + 1, nb):
                dx = bould[2 * k] - bould[2 * j]
                dy = bould[2 * k + 1] - bould[2 * j + 1]
                s = dx * dx + dy * dy
                if 0.0 < s < SPACING_SQ:
                    r = sqrt(s)
                    m = (SPACING - r) * 0.5
                    ux = (dx / r) * m
                    uy = (dy / r) * m
                    disp[2 * j] = disp[2 * j] - ux
                    disp[2 * j + 1] = disp[2 * j + 1] - uy
                    disp[2 * k] = disp[2 * k] + ux
                    disp[2 * k + 1] = disp[2 * k + 1] + uy
        if not self.sparse_rewards:
            self.shaping = self._shaping(disp)
        for c in range(2 * nb):
            bould[c] = disp[c] + bould[c]
        # particles are pushed out of the moved boulders, corrections summed from one target
        pos = self.pos
        for p in range(npart):
            tx, ty = target[2 * p], target[2 * p + 1]
            px = py = 0.0
            for b in range(nb):
                dx = tx - bould[2 * b]
                dy = ty - bould[2 * b + 1]
                s = dx * dx + dy * dy
                if 0.0 < s < CONTACT_SQ:
                    r = sqrt(s)
                    m = CONTACT - r
                    px = (dx / r) * m + px
                    py = (dy / r) * m + py
            pos[2 * p] = px + tx
            pos[2 * p + 1] = py + ty
        self.target = pos[:]

    def _shaping(self, disp):
        total = 0.0
        bould, lands, nb = self.bould, self.lands, self.nb
        for b in range(nb):
            if self.done[b]:
                continue
            best, ex, ey, found = 1e7, 0.0, 0.0, False
            for lm in range(self.nl):
                cx = bould[2 * b] - lands[2 * lm]
                cy = bould[2 * b + 1] - lands[2 * lm + 1]
                s = cx * cx + cy * cy
                if s < best and not self.visited[lm * nb + b]:
                    best, ex, ey, found = s, cx, cy, True
            if found:
                # the new distance is the old difference plus the displacement
                fx = ex + disp[2 * b]
                fy = ey + disp[2 * b + 1]
                total = total - (sqrt(fx * fx + fy * fy) - sqrt(best))
        return total

    def _arrived(self, b, lm):
        ex = self.bould[2 * b] - self.lands[2 * lm]
        ey = self.bould[2 * b + 1] - self.lands[2 * lm + 1]
        return ex * ex + ey * ey < CONTACT_SQ

    def update_goals(self) -> float:
        r, nb, visited = 0.0, self.nb, self.visited
        if self.visit_all:
            self.unvisited, self.remaining = 0, 1
            for lm in range(self.nl):
                for b in range(nb):
                    i = lm * nb + b
                    if not visited[i] and self._arrived(b, lm):
                        visited[i] = True
                        r = r + self.sparse_weight
                    if not visited[i]:
                        self.unvisited += 1
        else:
            self.remaining, self.unvisited = nb, 1
            for b in range(nb):
                if self.done[b]:
                    self.remaining -= 1
                    continue
                for lm in range(self.nl):
                    if self._arrived(b, lm):
                        visited[lm * nb + b] = self.done[b] = True
                        r = r + 1.0
                        self.remaining -= 1
                        break
        if not self.sparse_rewards:
            r = r + self.shaping
        return r

    def build_state(self) -> list:
        state = []
        for i in range(self.npart):
            state += self.pos[2 * i : 2 * i + 2] + self.vel[2 * i : 2 * i + 2]
        state += self.bould[: 2 * self.nb] + self.lands[: 2 * self.nl]
        flags = self.visited if self.visit_all else self.done
        state += [1.0 if f else 0.0 for f in flags]
        return state

    def build_observations(self, state) -> dict:
        obs = {}
        for i in range(self.npart):
            # agent's own block and particle 0's block change places
            o = state[:]
            o[0:4], o[4 * i : 4 * i + 4] = state[4 * i : 4 * i + 4], state[0:4]
            obs[agent_name(i)] = o
        return obs

    def step(self, actions):
        total = 0.0
        for _ in range(self.n_physics_steps):
            self.apply_actions(actions)
            self.physics_substep()
            total = total + self.update_goals()
        state = self.build_state()
        obs = self.build_observations(state)
        done = self.unvisited == 0 if self.visit_all else self.remaining == 0
        names = [agent_name(i) for i in range(self.npart)]
        rewards = {n: total for n in names}
        terms = {n: done for n in names}
        truncs = {n: False for n in names}
        return state, obs, rewards, terms, truncs
