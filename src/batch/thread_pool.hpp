// A fixed set of worker threads that run a range of indices in shares. The range
// [0, count) is cut into contiguous shares that depend only on the count and the
// number of shares; the calling thread and the workers claim shares one at a time
// until none is left, so a thread that the system does not schedule holds up no
// more than the share it has begun. A task whose items are independent therefore
// gives the same results on any number of threads.
//
// A batch of a thousand small environments steps in well under a millisecond,
// about as long as waking a sleeping thread can take on a busy machine, so idle
// workers spin for a moment before they sleep, and so does the caller while it
// waits for the last shares.
//
// A child process that fork() made inherits the pool's memory but none of its
// threads: the pool notices the new process on its next use and starts workers of
// its own, leaving the inherited thread handles and wait queues untouched.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ThreadPool {
 public:
  using Task = std::function<void(int64_t begin, int64_t end)>;
  using Poll = std::function<void()>;

  // starts num_threads - 1 workers; if the system refuses one, the started ones are
  // stopped and joined and the error names how many started
  explicit ThreadPool(int32_t num_threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int32_t size() const { return num_workers_ + 1; }

  // runs task over [0, count) in `shares` contiguous shares (at most kMaxShares);
  // rethrows the first exception a share threw, after every share has finished.
  // While the calling thread waits for the workers it calls poll every few
  // milliseconds.
  void run(int64_t count, int32_t shares, const Task& task, const Poll& poll);

  // stops and joins the workers; run() afterwards uses the calling thread only
  void join();

  // the next run() is call number `generation` + 1; lets a test cross the point
  // where the claim word's 32-bit generation wraps around
  void set_generation_for_testing(uint64_t generation);

  static constexpr int32_t kMaxShares = 0xffff;

 private:
  // what the workers wait on; replaced, never destroyed, in a forked child, where
  // it may still count the parent's sleeping workers
  struct Signals {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
  };

  void start_workers(int32_t count);
  void stop_workers();
  void adopt_after_fork();
  void work();
  uint64_t wait_for_work(uint64_t seen);
  void wait_for_shares(int32_t shares, const Poll& poll);
  void run_claimed_shares(uint64_t generation);
  void run_share(int64_t share, int64_t shares);

  int32_t num_workers_ = 0;  // the workers this pool runs with, in any process
  pid_t owner_ = 0;          // the process whose threads workers_ holds
  std::vector<std::thread> workers_;
  std::unique_ptr<Signals> signals_ = std::make_unique<Signals>();
  std::atomic<uint64_t> generation_{0};  // bumped once per run()
  std::atomic<bool> stopping_{false};
  // the next share to claim: the low 32 bits of the generation in the high 32
  // bits, then the number of shares and the next unclaimed share, 16 bits each; a
  // thread still looking for shares of an earlier run sees another generation and
  // claims nothing
  std::atomic<uint64_t> claim_{0};
  std::atomic<int32_t> finished_shares_{0};
  // the current run, written before its claim word is published
  const Task* task_ = nullptr;
  int64_t count_ = 0;
  std::exception_ptr error_;  // guarded by signals_->mutex
};
