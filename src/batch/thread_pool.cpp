#include "thread_pool.hpp"

ThreadPool::ThreadPool(int32_t num_threads) {
  for (int32_t worker = 1; worker < num_threads; ++worker) {
    workers_.emplace_back([this, worker] { work(worker); });
  }
}

ThreadPool::~ThreadPool() { join(); }

void ThreadPool::join() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void ThreadPool::run(int64_t count, int32_t shares, const Task& task) {
  if (shares > size()) shares = size();
  if (shares <= 1 || count <= 1) {
    task(0, count);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    count_ = count;
    shares_ = shares;
    error_ = nullptr;
    busy_workers_ = static_cast<int32_t>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  run_share(0);
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return busy_workers_ == 0; });
  task_ = nullptr;
  if (error_) std::rethrow_exception(error_);
}

void ThreadPool::work(int32_t worker) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    run_share(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_workers_;
    }
    finished_.notify_one();
  }
}

// share k of n covers [count * k / n, count * (k + 1) / n); workers past the last
// share have nothing to do
void ThreadPool::run_share(int32_t share) {
  if (share >= shares_) return;
  const int64_t begin = count_ * share / shares_;
  const int64_t end = count_ * (share + 1) / shares_;
  try {
    (*task_)(begin, end);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::current_exception();
  }
}
