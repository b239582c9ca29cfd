#include "thread_pool.hpp"

#include <chrono>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace {

// how long a waiting thread spins before it sleeps
constexpr std::chrono::microseconds kSpinTime{100};
constexpr int kChecksPerClockRead = 64;

constexpr uint64_t kShareMask = 0xffff;

uint64_t claim_word(uint64_t generation, uint64_t shares, uint64_t next) {
  return generation << 32 | shares << 16 | next;
}

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// spins until done() holds or the spin time is up; true when done() holds
template <typename Done>
bool spin_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (;;) {
    for (int check = 0; check < kChecksPerClockRead; ++check) {
      if (done()) return true;
      relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace

ThreadPool::ThreadPool(int32_t num_threads) {
  for (int32_t worker = 1; worker < num_threads; ++worker) {
    workers_.emplace_back([this] { work(); });
#if defined(__linux__)
    // named, so that the workers can be told apart in top and in /proc
    pthread_setname_np(workers_.back().native_handle(), "zandrel-worker");
#endif
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
  if (shares > kMaxShares) shares = kMaxShares;
  if (workers_.empty() || shares <= 1 || count <= 1) {
    task(0, count);
    return;
  }
  task_ = &task;
  count_ = count;
  error_ = nullptr;
  finished_shares_.store(0, std::memory_order_relaxed);
  const uint64_t generation = generation_.load(std::memory_order_relaxed) + 1;
  claim_.store(claim_word(generation, static_cast<uint64_t>(shares), 0), std::memory_order_release);
  {
    // under the lock, so that a worker about to sleep cannot miss the new generation
    std::lock_guard<std::mutex> lock(mutex_);
    generation_.store(generation, std::memory_order_release);
  }
  wake_.notify_all();
  run_claimed_shares(generation);
  auto all_finished = [&] { return finished_shares_.load(std::memory_order_acquire) == shares; };
  if (!spin_until(all_finished)) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, all_finished);
  }
  task_ = nullptr;
  if (error_) std::rethrow_exception(error_);
}

void ThreadPool::work() {
  uint64_t seen = 0;
  for (;;) {
    seen = wait_for_work(seen);
    if (stopping_) return;
    run_claimed_shares(seen);
  }
}

// the next generation, or any once the pool is stopping
uint64_t ThreadPool::wait_for_work(uint64_t seen) {
  auto has_work = [&] {
    return stopping_.load(std::memory_order_acquire) ||
           generation_.load(std::memory_order_acquire) != seen;
  };
  if (!spin_until(has_work)) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, has_work);
  }
  return generation_.load(std::memory_order_acquire);
}

// claims and runs shares of this generation until none is left
void ThreadPool::run_claimed_shares(uint64_t generation) {
  uint64_t word = claim_.load(std::memory_order_acquire);
  for (;;) {
    const uint64_t shares = word >> 16 & kShareMask;
    const uint64_t next = word & kShareMask;
    if (word >> 32 != generation || next >= shares) return;
    if (!claim_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      continue;
    }
    run_share(static_cast<int64_t>(next), static_cast<int64_t>(shares));
    if (finished_shares_.fetch_add(1, std::memory_order_acq_rel) + 1 ==
        static_cast<int32_t>(shares)) {
      // the caller may be asleep: wake it under the lock it checks under
      {
        std::lock_guard<std::mutex> lock(mutex_);
      }
      finished_.notify_one();
    }
    word = claim_.load(std::memory_order_acquire);
  }
}

// share k of n covers [count * k / n, count * (k + 1) / n)
void ThreadPool::run_share(int64_t share, int64_t shares) {
  const int64_t begin = count_ * share / shares;
  const int64_t end = count_ * (share + 1) / shares;
  try {
    (*task_)(begin, end);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::current_exception();
  }
}
