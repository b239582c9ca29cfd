// Dict intake: each entry of the actions dict becomes an agent's velocity and target.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/zandrel_environment.hpp"

namespace py = pybind11;

namespace {

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

// a float64 view of an action value: its data, shape and strides, plus whatever
// object keeps that data alive
struct ActionArray {
  py::object owner;
  char* data = nullptr;
  int ndim = 0;
  const py::ssize_t* shape = nullptr;
  const py::ssize_t* strides = nullptr;
  int flags = 0;
  py::ssize_t size = 0;
  double inline_values[2] = {0.0, 0.0};  // scratch copy for the float-sequence fast path

  ActionArray() = default;
  // data may point into inline_values: never copied or moved
  ActionArray(const ActionArray&) = delete;
  ActionArray& operator=(const ActionArray&) = delete;
};

void view_array(py::object array, ActionArray& view) {
  const auto* proxy = py::detail::array_proxy(array.ptr());
  view.data = proxy->data;
  view.ndim = proxy->nd;
  view.shape = proxy->dimensions;
  view.strides = proxy->strides;
  view.flags = proxy->flags;
  view.size = 1;
  for (int axis = 0; axis < proxy->nd; ++axis) view.size *= proxy->dimensions[axis];
  view.owner = std::move(array);
}

bool is_native_float64_array(PyObject* value) {
  const auto& api = py::detail::npy_api::get();
  if (Py_TYPE(value) != api.PyArray_Type_) return false;
  const auto* descr = reinterpret_cast<const py::detail::PyArrayDescr_Proxy*>(
      py::detail::array_proxy(value)->descr);
  return descr->type_num == py::detail::npy_api::NPY_DOUBLE_ &&
         (descr->byteorder == '=' || descr->byteorder == (PY_LITTLE_ENDIAN ? '<' : '>'));
}

// a list or tuple of at least two exact floats converts to exactly those doubles;
// reading them directly skips building a temporary array nobody else sees
bool read_float_sequence(PyObject* value, ActionArray& view) {
  if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) return false;
  const py::ssize_t length = PySequence_Fast_GET_SIZE(value);
  PyObject** items = PySequence_Fast_ITEMS(value);
  if (length < 2) return false;
  for (py::ssize_t i = 0; i < length; ++i) {
    if (!PyFloat_CheckExact(items[i])) return false;
  }
  view.inline_values[0] = PyFloat_AS_DOUBLE(items[0]);
  view.inline_values[1] = PyFloat_AS_DOUBLE(items[1]);
  view.data = reinterpret_cast<char*>(view.inline_values);
  view.flags = py::array::c_style | py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  view.size = length;
  return true;
}

// the value as a float64 array: a float64 array in native byte order is used as
// itself, so the write-back reaches the caller's array; anything else is converted
// with casting forced, and a failed conversion raises NumPy's own error. True when
// the value is plain data that no Python code took part in reading.
bool convert_action(const py::object& value, ActionArray& view) {
  if (is_native_float64_array(value.ptr())) {
    view_array(value, view);
    return true;
  }
  if (read_float_sequence(value.ptr(), view)) return true;
  view_array(py::array_t<double, py::array::forcecast>(value), view);
  return false;
}

// raised as a Python error so that a key holding NUL characters is quoted whole
[[noreturn]] void throw_short_action(const KeyText& key, py::ssize_t size) {
  const py::str message =
      py::str("action for key '{}' has {} component(s), expected at least 2 (x, y)")
          .format(py::str(key.data, static_cast<size_t>(key.size)), size);
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

// the first two elements in memory of a contiguous array, else the first two in
// C order read through the strides
ComponentAddresses component_addresses(const ActionArray& array, const KeyText& key) {
  if (array.size < 2) throw_short_action(key, array.size);
  const int contiguous = py::array::c_style | py::array::f_style;
  if ((array.flags & contiguous) != 0) return {array.data, array.data + sizeof(double)};
  // flat index 1 in C order moves one step along the innermost axis longer than 1
  int axis = array.ndim - 1;
  while (array.shape[axis] == 1) --axis;
  return {array.data, array.data + array.strides[axis]};
}

double load(const char* address) {
  double value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

void store(char* address, double value) { std::memcpy(address, &value, sizeof value); }

}  // namespace

// Reads every entry and applies it. Returns true when every key is an exact str
// and every value plain data (a float64 array or a list of floats): then no
// Python code ran, none can run before the next sub-step, and action_plan_ holds
// what a fresh read of the same dict would find, so replay_actions can stand in
// for it.
bool ZandrelEnvironment::apply_actions(const py::dict& actions) {
  action_plan_.clear();
  bool plain = true;
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
    ActionArray array;
    const bool plain_value = convert_action(value_ref, array);
    plain = plain && plain_value && PyUnicode_CheckExact(key);
    const int32_t index = parse_agent_index(name.data, name.size);
    const ComponentAddresses components = component_addresses(array, name);
    const bool writable = (array.flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) != 0;
    if (plain) record_planned_action(index, components, writable, array.owner);
    take_action(index, components.x, components.y, writable);
  }
  return plain;
}

void ZandrelEnvironment::record_planned_action(int32_t index, const ComponentAddresses& components,
                                               bool writable, const py::object& owner) {
  PlannedAction planned{index, nullptr, nullptr, writable, load(components.x), load(components.y)};
  // an array is read afresh in every sub-step, since a write-back (to it or to
  // another view of its memory) may have changed it; a float list was read into a
  // temporary, so its values are kept instead
  if (owner) {
    planned.x = components.x;
    planned.y = components.y;
  }
  action_plan_.push_back(planned);
}

void ZandrelEnvironment::replay_actions() {
  for (PlannedAction& planned : action_plan_) {
    if (planned.x != nullptr) {
      take_action(planned.index, planned.x, planned.y, planned.writable);
    } else {
      double x = planned.x_value;
      double y = planned.y_value;
      take_action(planned.index, reinterpret_cast<char*>(&x), reinterpret_cast<char*>(&y), false);
    }
  }
}

// clips and normalises the action, writes it back where allowed and, for an index
// within range, sets the agent's velocity and target
void ZandrelEnvironment::take_action(int32_t index, char* x_slot, char* y_slot, bool writable) {
  const NormalisedAction action = normalise_action(load(x_slot), load(y_slot));
  // a read-only array is never written
  if (writable) {
    store(x_slot, action.x);
    store(y_slot, action.y);
  }
  set_agent_action(index, action);
}
