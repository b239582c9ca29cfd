"""What an action may hold, in the single and the batched environments alike."""

from __future__ import annotations

import numbers
from typing import Any

import numpy.typing as npt

# array kinds whose values convert to float64 as numbers: bool, signed and unsigned
# integer, float; an object array qualifies when every element is a real number itself
REAL_KINDS = "biuf"
OBJECT_KIND = "O"
NON_REAL_KINDS = {"U": "text", "S": "bytes", "c": "complex values", "M": "dates", "m": "durations"}


def holds_real_numbers(values: npt.NDArray[Any]) -> bool:
    """Whether every value of the array is a real number, by its dtype or its elements."""
    kind = values.dtype.kind
    if kind == OBJECT_KIND:
        return all(isinstance(value, numbers.Real) for value in values.flat)
    return kind in REAL_KINDS


def described(values: npt.NDArray[Any], given: object) -> str:
    """The refused action as an error message shows it: its kind of values, then its repr."""
    kind = values.dtype.kind
    return f"{NON_REAL_KINDS[kind]} {given!r}" if kind in NON_REAL_KINDS else repr(given)
