"""Geometry of the simulation core, and the old home of the configuration names.

`EnvConfig`, `ZandrelConfig`, `ConfigError` and the memory-limit constants live in
:mod:`zandrel.options` now; importing them from here keeps working for this version.
"""

from zandrel.options import (
    DEFAULT_MAX_OBSERVATION_BYTES,
    FLOAT64_BYTES,
    MAX_OBSERVATION_BYTES_VARIABLE,
    REFERENCE_SPAWN_SIZE,
    STEPS_PER_GOAL,
    ConfigError,
    EnvConfig,
    ZandrelConfig,
)

# geometry of the simulation core (plane units)
CONTACT_DISTANCE = 6.0  # particle to boulder centre distance below which they touch
BOULDER_SPACING = 10.0  # boulder centres closer than this are pushed apart
ARRIVAL_DISTANCE = 6.0  # boulder to landmark centre distance below which the boulder has arrived

__all__ = [
    "ARRIVAL_DISTANCE",
    "BOULDER_SPACING",
    "CONTACT_DISTANCE",
    "DEFAULT_MAX_OBSERVATION_BYTES",
    "FLOAT64_BYTES",
    "MAX_OBSERVATION_BYTES_VARIABLE",
    "REFERENCE_SPAWN_SIZE",
    "STEPS_PER_GOAL",
    "ConfigError",
    "EnvConfig",
    "ZandrelConfig",
]
