// A fixed set of worker threads that split a range of indices between them. The
// calling thread works on the first share itself; run() returns when every share
// is done. Shares are contiguous and fixed by the count and the thread count, so a
// task whose items are independent gives the same results on any number of threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ThreadPool {
 public:
  using Task = std::function<void(int64_t begin, int64_t end)>;

  explicit ThreadPool(int32_t num_threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int32_t size() const { return static_cast<int32_t>(workers_.size()) + 1; }

  // runs task over [0, count) in at most `shares` contiguous shares; rethrows the
  // first exception a share threw, after every share has finished
  void run(int64_t count, int32_t shares, const Task& task);

  // stops and joins the workers; run() afterwards uses the calling thread only
  void join();

 private:
  void work(int32_t worker);
  void run_share(int32_t share);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  uint64_t generation_ = 0;  // bumped once per run(), so a worker runs each task once
  bool stopping_ = false;
  int32_t busy_workers_ = 0;
  // the current run
  const Task* task_ = nullptr;
  int64_t count_ = 0;
  int32_t shares_ = 1;
  std::exception_ptr error_;
};
