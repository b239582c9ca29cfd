#include "thread_pool.hpp"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace {

// how long a waiting thread spins before it sleeps
constexpr std::chrono::microseconds kSpinTime{100};
// how often a caller waiting for the workers lets the poll run
constexpr std::chrono::milliseconds kPollInterval{5};
constexpr int kChecksPerClockRead = 64;

constexpr uint64_t kShareMask = 0xffff;
constexpr uint64_t kGenerationMask = 0xffffffff;

// the generation goes in as its low 32 bits: runs 2^32 apart share a claim word
// generation, which is harmless, as no thread looks for shares that many runs late
uint64_t claim_word(uint64_t generation, uint64_t shares, uint64_t next) {
  return (generation & kGenerationMask) << 32 | shares << 16 | next;
}

// the claim word generation of a run
uint64_t claimed_generation(uint64_t word) { return word >> 32; }

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

// kept for good: in a forked child these handles name threads that do not exist
// here, and destroying a joinable handle would abort the process
void abandon(std::vector<std::thread>& threads) {
  static auto* abandoned = new std::vector<std::thread>();
  for (std::thread& thread : threads) abandoned->push_back(std::move(thread));
  threads.clear();
}

}  // namespace

ThreadPool::ThreadPool(int32_t num_threads) : owner_(getpid()) { start_workers(num_threads - 1); }

ThreadPool::~ThreadPool() { join(); }

void ThreadPool::start_workers(int32_t count) {
  stopping_ = false;
  try {
    while (static_cast<int32_t>(workers_.size()) < count) {
      workers_.emplace_back([this] { work(); });
#if defined(__linux__)
      // named, so that the workers can be told apart in top and in /proc
      pthread_setname_np(workers_.back().native_handle(), "zandrel-worker");
#endif
    }
  } catch (const std::system_error& error) {
    const size_t started = workers_.size();
    stop_workers();
    throw std::runtime_error(
        "num_threads=" + std::to_string(count + 1) + " needs " + std::to_string(count) +
        " worker threads, but the system started only " + std::to_string(started) + " (" +
        error.what() + "); use a smaller num_threads");
  }
  num_workers_ = count;
}

void ThreadPool::stop_workers() {
  {
    std::lock_guard<std::mutex> lock(signals_->mutex);
    stopping_ = true;
  }
  signals_->wake.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

// in a forked child: forgets the parent's workers and their wait queues, which
// may count sleepers that do not exist here, and starts from a clean slate
void ThreadPool::adopt_after_fork() {
  owner_ = getpid();
  abandon(workers_);
  static_cast<void>(signals_.release());
  signals_ = std::make_unique<Signals>();
  generation_ = 0;
  claim_ = 0;
  finished_shares_ = 0;
  task_ = nullptr;
  error_ = nullptr;
}

void ThreadPool::join() {
  if (owner_ != getpid()) adopt_after_fork();
  stop_workers();
  num_workers_ = 0;
}

void ThreadPool::set_generation_for_testing(uint64_t generation) {
  std::lock_guard<std::mutex> lock(signals_->mutex);
  generation_.store(generation, std::memory_order_release);
}

void ThreadPool::run(int64_t count, int32_t shares, const Task& task, const Poll& poll) {
  if (owner_ != getpid()) {
    const int32_t workers = num_workers_;
    adopt_after_fork();
    num_workers_ = 0;  // the caller alone, unless the new workers start
    start_workers(workers);
  }
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
    std::lock_guard<std::mutex> lock(signals_->mutex);
    generation_.store(generation, std::memory_order_release);
  }
  signals_->wake.notify_all();
  run_claimed_shares(generation);
  wait_for_shares(shares, poll);
  task_ = nullptr;
  if (error_) std::rethrow_exception(error_);
}

void ThreadPool::wait_for_shares(int32_t shares, const Poll& poll) {
  auto all_finished = [&] { return finished_shares_.load(std::memory_order_acquire) == shares; };
  if (spin_until(all_finished)) return;
  std::unique_lock<std::mutex> lock(signals_->mutex);
  while (!signals_->finished.wait_for(lock, kPollInterval, all_finished)) {
    // without the lock: the poll may wait for the interpreter, and workers need
    // the lock to report
    lock.unlock();
    poll();
    lock.lock();
  }
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
    std::unique_lock<std::mutex> lock(signals_->mutex);
    signals_->wake.wait(lock, has_work);
  }
  return generation_.load(std::memory_order_acquire);
}

// claims and runs shares of this generation until none is left
void ThreadPool::run_claimed_shares(uint64_t generation) {
  uint64_t word = claim_.load(std::memory_order_acquire);
  for (;;) {
    const uint64_t shares = word >> 16 & kShareMask;
    const uint64_t next = word & kShareMask;
    if (claimed_generation(word) != (generation & kGenerationMask) || next >= shares) return;
    if (!claim_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      continue;
    }
    run_share(static_cast<int64_t>(next), static_cast<int64_t>(shares));
    if (finished_shares_.fetch_add(1, std::memory_order_acq_rel) + 1 ==
        static_cast<int32_t>(shares)) {
      // the caller may be asleep: wake it under the lock it checks under
      {
        std::lock_guard<std::mutex> lock(signals_->mutex);
      }
      signals_->finished.notify_one();
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
    std::lock_guard<std::mutex> lock(signals_->mutex);
    if (!error_) error_ = std::current_exception();
  }
}
