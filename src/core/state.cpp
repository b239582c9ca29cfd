// The global state vector and the per-agent observations.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "python_results.hpp"
#include "zandrel_environment.hpp"

namespace py = pybind11;

namespace {

constexpr int32_t kValuesPerParticle = 4;  // x, y, vx, vy

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

py::array copy_to_array(const double* values, size_t length) {
  py::array array = new_vector(length);
  std::copy_n(values, length, data_of(array));  // values may be null when length is 0
  return array;
}

}  // namespace

int32_t ZandrelEnvironment::state_length() const {
  const int32_t flag_count = visit_all ? n_landmarks * n_boulders : n_boulders;
  return kValuesPerParticle * n_particles + 2 * n_boulders + 2 * n_landmarks + flag_count;
}

// bytes of array data in one state plus its observations
size_t ZandrelEnvironment::result_bytes() const {
  return (static_cast<size_t>(n_particles) + 1) * static_cast<size_t>(state_length()) *
         sizeof(double);
}

py::array ZandrelEnvironment::build_state() {
  const int32_t flag_count = visit_all ? n_landmarks * n_boulders : n_boulders;
  const int32_t boulder_start = kValuesPerParticle * n_particles;
  const int32_t landmark_start = boulder_start + 2 * n_boulders;
  const int32_t flag_start = landmark_start + 2 * n_landmarks;
  const int32_t length = state_length();

  // written in place: every element of the new length is set below
  last_state.resize(static_cast<size_t>(length));
  std::vector<double>& state = last_state;
  for (int32_t i = 0; i < n_particles; ++i) {
    state[4 * i] = particle_positions[2 * i];
    state[4 * i + 1] = particle_positions[2 * i + 1];
    state[4 * i + 2] = particle_velocities[2 * i];
    state[4 * i + 3] = particle_velocities[2 * i + 1];
  }
  std::copy_n(boulder_positions.begin(), 2 * n_boulders, state.begin() + boulder_start);
  std::copy_n(landmark_positions.begin(), 2 * n_landmarks, state.begin() + landmark_start);
  const std::vector<bool>& flags = visit_all ? visited : boulder_done;
  for (int32_t k = 0; k < flag_count; ++k) {
    state[flag_start + k] = flags[k] ? 1.0 : 0.0;
  }
  return copy_to_array(last_state.data(), last_state.size());
}

py::dict ZandrelEnvironment::build_observations() {
  py::dict observations;
  const size_t length = last_state.size();
  for (int32_t i = 0; i < n_particles; ++i) {
    py::str key = agent_name(i);
    py::array observation = copy_to_array(last_state.data(), length);
    double* values = data_of(observation);
    // exchange the agent's own block of four with particle 0's; the rest keeps its place
    for (int32_t k = 0; k < kValuesPerParticle; ++k) {
      std::swap(values[k], values[kValuesPerParticle * i + k]);
    }
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
