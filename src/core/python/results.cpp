// reset and the Python results of reset and step: the state array and the
// observations dict, built with the record's own writers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "bindings/common/array_pool.hpp"
#include "core/zandrel_environment.hpp"
#include "python_results.hpp"

namespace py = pybind11;

namespace {

// a new one-dimensional float64 array owning uninitialised data; made through
// NumPy directly because this runs once per agent and step
py::array new_vector(size_t length) {
  const auto& api = py::detail::npy_api::get();
  // NumPy's float64 descriptor is a builtin that lives as long as NumPy does
  static PyObject* const float64 = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_DOUBLE_);
  if (float64 == nullptr) throw py::error_already_set();
  Py_intptr_t shape[1] = {static_cast<Py_intptr_t>(length)};
  // NewFromDescr takes over a reference to the descriptor, also when it fails
  Py_INCREF(float64);
  PyObject* array =
      api.PyArray_NewFromDescr_(api.PyArray_Type_, float64, 1, shape, nullptr, nullptr, 0, nullptr);
  if (array == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(array);
}

double* data_of(const py::array& array) {
  return reinterpret_cast<double*>(py::detail::array_proxy(array.ptr())->data);
}

}  // namespace

py::tuple ZandrelEnvironment::reset() {
  ReentryGuard guard(*this, "reset");
  restart();
  const ResultArrayScope pooled_arrays(result_bytes());
  py::array state = build_state();
  py::dict observations = build_observations();
  return py::make_tuple(state, observations);
}

// bytes of array data in one state plus its observations
size_t ZandrelEnvironment::result_bytes() const {
  const size_t observation_values =
      static_cast<size_t>(observation_rows()) * static_cast<size_t>(observation_length());
  return (static_cast<size_t>(state_length()) + observation_values) * sizeof(double);
}

py::array ZandrelEnvironment::build_state() {
  build_state_vector();
  py::array state = new_vector(last_state.size());
  std::copy(last_state.begin(), last_state.end(), data_of(state));
  return state;
}

py::dict ZandrelEnvironment::build_observations() {
  py::dict observations;
  prepare_observations();
  const auto length = static_cast<size_t>(observation_length());
  for (int32_t i = 0; i < n_particles; ++i) {
    py::str key = agent_name(i);
    py::array observation = new_vector(length);
    write_observation(i, data_of(observation));
    set_item(observations, key, observation);
  }
  return observations;
}

py::str agent_name(int32_t index) {
  // written by hand: this runs once per agent and result, and snprintf costs more
  // than everything else in building the name
  char text[24] = "particle_";
  char digits[12];
  int count = 0;
  auto magnitude = static_cast<uint32_t>(index);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int length = 9;
  while (count > 0) text[length++] = digits[--count];
  PyObject* name = PyUnicode_FromStringAndSize(text, length);
  if (name == nullptr) {
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    throw std::runtime_error("Could not allocate string object!");
  }
  return py::reinterpret_steal<py::str>(name);
}

void set_item(const py::dict& dict, const py::handle& key, const py::handle& value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}
