// Helpers for building the Python result objects of reset and step.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

// "particle_" followed by the index in decimal; the interpreter's error, or
// RuntimeError "Could not allocate string object!" when it reports none
pybind11::str agent_name(int32_t index);

// inserts, or raises the interpreter's own error
void set_item(const pybind11::dict& dict, const pybind11::handle& key,
              const pybind11::handle& value);
