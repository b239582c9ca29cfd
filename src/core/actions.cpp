// Action intake: each entry of the actions dict becomes an agent's velocity and target.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "zandrel_environment.hpp"

namespace py = pybind11;

namespace {

constexpr double kActionBound = 1.0;  // each component is clipped to [-1, 1]
constexpr double kActionScale = 0.1;  // world units a unit-length action moves the target

// the key's str() form, encoded as UTF-8; holder keeps the bytes alive
struct KeyText {
  py::object holder;
  const char* data;
  Py_ssize_t size;
};

KeyText key_text(const py::handle& key) {
  // str(s) is s itself for an exact str, so its cached UTF-8 can be read directly
  py::object text = PyUnicode_CheckExact(key.ptr())
                        ? py::reinterpret_borrow<py::object>(key)
                        : py::reinterpret_steal<py::object>(PyObject_Str(key.ptr()));
  if (!text) throw py::error_already_set();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {std::move(text), data, size};
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// the integer after the first '_' (or at the start when there is none), read the
// way std::stoi reads: leading white space, one optional sign, digits up to the
// first non-digit; the rest is ignored
int32_t parse_agent_index(const char* text, Py_ssize_t size) {
  const char* end = text + size;
  const void* underscore = std::memchr(text, '_', static_cast<size_t>(size));
  const char* cursor = underscore ? static_cast<const char*>(underscore) + 1 : text;
  while (cursor < end && is_space(*cursor)) ++cursor;
  bool negative = false;
  if (cursor < end && (*cursor == '+' || *cursor == '-')) negative = *cursor++ == '-';
  if (cursor == end || !is_digit(*cursor)) throw std::invalid_argument("invalid stoi argument");
  // the magnitude saturates just past the largest one any int32 can take
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; cursor < end && is_digit(*cursor); ++cursor) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*cursor - '0');
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw std::out_of_range("stoi argument out of range");
  }
  return static_cast<int32_t>(value);
}

// addresses of the two components: the first two elements in memory of a
// contiguous array, else the first two in C order read through the strides
struct ComponentAddresses {
  char* x;
  char* y;
};

ComponentAddresses component_addresses(const py::array& array, const KeyText& key) {
  if (array.size() < 2) {
    throw std::invalid_argument("action for key '" + std::string(key.data, key.size) + "' has " +
                                std::to_string(array.size()) +
                                " component(s), expected at least 2 (x, y)");
  }
  char* data = static_cast<char*>(const_cast<void*>(array.data()));
  const int contiguous = py::array::c_style | py::array::f_style;
  if ((array.flags() & contiguous) != 0) return {data, data + sizeof(double)};
  // flat index 1 in C order moves one step along the innermost axis longer than 1
  py::ssize_t axis = array.ndim() - 1;
  while (array.shape(axis) == 1) --axis;
  return {data, data + array.strides(axis)};
}

double load(const char* address) {
  double value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

void store(char* address, double value) { std::memcpy(address, &value, sizeof value); }

double clip(double component) {
  if (component > kActionBound) return kActionBound;
  if (component < -kActionBound) return -kActionBound;
  return component;  // NaN included
}

}  // namespace

void ZandrelEnvironment::apply_actions(const py::dict& actions) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  // PyDict_Next walks the dict's own storage in insertion order, whatever order a
  // subclass iterates in, and stays within bounds if Python code mutates the dict
  while (PyDict_Next(actions.ptr(), &position, &key, &value)) {
    // own both: a key's __str__ or a value's __array__ may remove them from the dict
    const py::object key_ref = py::reinterpret_borrow<py::object>(key);
    const py::object value_ref = py::reinterpret_borrow<py::object>(value);

    const KeyText name = key_text(key_ref);
    // float64 arrays in native byte order come back as themselves, so the
    // write-back below reaches the caller's array
    const py::array_t<double, py::array::forcecast> array(value_ref);
    const int32_t index = parse_agent_index(name.data, name.size);
    const ComponentAddresses components = component_addresses(array, name);

    double ax = clip(load(components.x));
    double ay = clip(load(components.y));
    const double norm = std::sqrt(ax * ax + ay * ay);
    const double divisor = norm < 1.0 ? 1.0 : norm;  // NaN norm gives a NaN divisor
    ax = ax / divisor;
    ay = ay / divisor;
    // a read-only array is never written
    if (array.writeable()) {
      store(components.x, ax);
      store(components.y, ay);
    }
    if (index < 0 || index >= n_agents) continue;
    particle_velocities[2 * index] = ax;
    particle_velocities[2 * index + 1] = ay;
    const double ox = ax * kActionScale;
    const double oy = ay * kActionScale;
    target_particle_positions[2 * index] = particle_positions[2 * index] + ox;
    target_particle_positions[2 * index + 1] = particle_positions[2 * index + 1] + oy;
  }
}
