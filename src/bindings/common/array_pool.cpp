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
constexpr const char* kCapsuleName = "mem_handler";      // the name NumPy looks for

// recently freed buffers by exact size; NumPy frees arrays with the interpreter
// lock held, but the lock below keeps the pool sound even if it ever did not
struct BufferPool {
  std::mutex lock;
  std::unordered_map<size_t, std::vector<void*>> free_buffers;
  size_t pooled_bytes = 0;
  bool released = false;  // the owner is done: keep nothing more
};

void* pooled_malloc(void* context, size_t size) {
  auto& buffers = *static_cast<BufferPool*>(context);
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

void pooled_free(void* context, void* buffer, size_t size) {
  if (buffer == nullptr) return;
  auto& buffers = *static_cast<BufferPool*>(context);
  {
    std::lock_guard<std::mutex> guard(buffers.lock);
    const size_t limit = size > kPoolByteLimit / 2 ? 2 * size : kPoolByteLimit;
    if (!buffers.released && size > 0 && buffers.pooled_bytes + size <= limit) {
      buffers.free_buffers[size].push_back(buffer);
      buffers.pooled_bytes += size;
      return;
    }
  }
  std::free(buffer);
}

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

// a handler and the buffers it keeps, alive as long as its capsule
struct PooledHandler {
  DataMemoryHandler handler = {
      "zandrel_result_pool", 1, nullptr, pooled_malloc, pooled_calloc, pooled_realloc, pooled_free};
  BufferPool buffers;

  PooledHandler() { handler.context = &buffers; }
};

void free_kept_buffers(BufferPool& buffers) {
  std::lock_guard<std::mutex> guard(buffers.lock);
  buffers.released = true;
  for (auto& [size, kept] : buffers.free_buffers) {
    for (void* buffer : kept) std::free(buffer);
  }
  buffers.free_buffers.clear();
  buffers.pooled_bytes = 0;
}

// the last array from the pool, or the pool itself, is gone
void destroy_handler(PyObject* capsule) {
  auto* pooled = static_cast<PooledHandler*>(PyCapsule_GetContext(capsule));
  if (pooled == nullptr) return;  // its constructor failed and frees it
  free_kept_buffers(pooled->buffers);
  delete pooled;
}

using SetHandler = PyObject* (*)(PyObject*);

// NumPy's PyDataMem_SetHandler, or null on a NumPy without memory handlers
SetHandler load_set_handler() {
  if (py::detail::npy_api::get().PyArray_RUNTIME_VERSION_ < kHandlerFeatureVersion) return nullptr;
  const py::object capsule =
      py::detail::import_numpy_core_submodule("multiarray").attr("_ARRAY_API");
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.ptr(), nullptr));
  if (table == nullptr) throw py::error_already_set();
  return reinterpret_cast<SetHandler>(table[kSetHandlerSlot]);
}

SetHandler set_handler() {
  static const SetHandler function = load_set_handler();
  return function;
}

}  // namespace

ResultArrayPool::ResultArrayPool() {
  if (set_handler() == nullptr) return;
  auto* pooled = new PooledHandler();
  capsule_ = PyCapsule_New(&pooled->handler, kCapsuleName, destroy_handler);
  if (capsule_ == nullptr || PyCapsule_SetContext(capsule_, pooled) != 0) {
    Py_XDECREF(capsule_);
    delete pooled;
    throw py::error_already_set();
  }
}

ResultArrayPool::~ResultArrayPool() {
  release();
  Py_XDECREF(capsule_);
}

void ResultArrayPool::release() {
  if (capsule_ == nullptr) return;
  free_kept_buffers(static_cast<PooledHandler*>(PyCapsule_GetContext(capsule_))->buffers);
}

ResultArrayPool& shared_result_pool() {
  static auto* pool = new ResultArrayPool();  // never destroyed: arrays may outlive everything
  return *pool;
}

ResultArrayScope::ResultArrayScope(ResultArrayPool& pool, size_t result_bytes) {
  if (result_bytes < kPooledResultBytes || pool.handler() == nullptr) return;
  previous_handler_ = set_handler()(pool.handler());
  if (previous_handler_ == nullptr) throw py::error_already_set();
}

ResultArrayScope::~ResultArrayScope() {
  if (previous_handler_ == nullptr) return;
  PyObject* ours = set_handler()(previous_handler_);
  if (ours == nullptr) PyErr_Clear();  // a destructor cannot report it; NumPy keeps our pool
  Py_XDECREF(ours);
  Py_DECREF(previous_handler_);
}
