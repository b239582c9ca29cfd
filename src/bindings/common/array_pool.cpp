// Pooled data memory for result arrays, installed as a NumPy memory handler.
#include "array_pool.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace py = pybind11;

namespace {

// bytes kept for reuse, at most; or two buffers of the size being freed, for results
// (a batch's observations) larger than this on their own
constexpr size_t kPoolByteLimit = size_t{64} << 20;
constexpr size_t kPooledResultBytes = size_t{64} << 10;  // half of glibc's default trim threshold
constexpr int kSetHandlerSlot = 304;                     // PyDataMem_SetHandler in NumPy's C API
constexpr int kHandlerFeatureVersion = 0x0f;             // C API version that added memory handlers

// recently freed buffers by exact size; NumPy frees arrays with the interpreter
// lock held, but the lock below keeps the pool sound even if it ever did not
struct BufferPool {
  std::mutex lock;
  std::unordered_map<size_t, std::vector<void*>> free_buffers;
  size_t pooled_bytes = 0;
};

BufferPool& pool() {
  static auto* instance = new BufferPool();  // never destroyed: arrays may outlive everything
  return *instance;
}

void* pooled_malloc(void*, size_t size) {
  BufferPool& buffers = pool();
  {
    std::lock_guard<std::mutex> guard(buffers.lock);
    auto found = buffers.free_buffers.find(size);
    if (found != buffers.free_buffers.end() && !found->second.empty()) {
      void* buffer = found->second.back();
      found->second.pop_back();
      buffers.pooled_bytes -= size;
      return buffer;
    }
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* pooled_calloc(void*, size_t count, size_t element_size) {
  return std::calloc(count == 0 ? 1 : count, element_size == 0 ? 1 : element_size);
}

void* pooled_realloc(void*, void* buffer, size_t size) {
  return std::realloc(buffer, size == 0 ? 1 : size);
}

void pooled_free(void*, void* buffer, size_t size) {
  if (buffer == nullptr) return;
  BufferPool& buffers = pool();
  {
    std::lock_guard<std::mutex> guard(buffers.lock);
    const size_t limit = size > kPoolByteLimit / 2 ? 2 * size : kPoolByteLimit;
    if (size > 0 && buffers.pooled_bytes + size <= limit) {
      buffers.free_buffers[size].push_back(buffer);
      buffers.pooled_bytes += size;
      return;
    }
  }
  std::free(buffer);
}

}  // namespace

void release_pooled_buffers() {
  BufferPool& buffers = pool();
  std::lock_guard<std::mutex> guard(buffers.lock);
  for (auto& [size, kept] : buffers.free_buffers) {
    for (void* buffer : kept) std::free(buffer);
  }
  buffers.free_buffers.clear();
  buffers.pooled_bytes = 0;
}

namespace {

// NumPy's handler record, version 1
struct DataMemoryHandler {
  char name[127];
  uint8_t version;
  void* context;
  void* (*malloc)(void*, size_t);
  void* (*calloc)(void*, size_t, size_t);
  void* (*realloc)(void*, void*, size_t);
  void (*free)(void*, void*, size_t);
};

DataMemoryHandler handler = {
    "zandrel_result_pool", 1, nullptr, pooled_malloc, pooled_calloc, pooled_realloc, pooled_free};

using SetHandler = PyObject* (*)(PyObject*);

// NumPy's PyDataMem_SetHandler and our handler capsule, or nulls on a NumPy
// without memory handlers
struct HandlerApi {
  SetHandler set_handler = nullptr;
  PyObject* capsule = nullptr;
};

HandlerApi load_handler_api() {
  HandlerApi api;
  if (py::detail::npy_api::get().PyArray_RUNTIME_VERSION_ < kHandlerFeatureVersion) return api;
  const py::object capsule =
      py::detail::import_numpy_core_submodule("multiarray").attr("_ARRAY_API");
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.ptr(), nullptr));
  if (table == nullptr) throw py::error_already_set();
  api.set_handler = reinterpret_cast<SetHandler>(table[kSetHandlerSlot]);
  api.capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
  if (api.capsule == nullptr) throw py::error_already_set();
  return api;
}

const HandlerApi& handler_api() {
  static const HandlerApi api = load_handler_api();
  return api;
}

}  // namespace

ResultArrayScope::ResultArrayScope(size_t result_bytes) {
  if (result_bytes < kPooledResultBytes) return;
  const HandlerApi& api = handler_api();
  if (api.set_handler == nullptr) return;
  previous_handler_ = api.set_handler(api.capsule);
  if (previous_handler_ == nullptr) throw py::error_already_set();
}

ResultArrayScope::~ResultArrayScope() {
  if (previous_handler_ == nullptr) return;
  PyObject* ours = handler_api().set_handler(previous_handler_);
  if (ours == nullptr) PyErr_Clear();  // a destructor cannot report it; NumPy keeps our pool
  Py_XDECREF(ours);
  Py_DECREF(previous_handler_);
}
